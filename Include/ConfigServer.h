// Client interfaces of the configuration server: the proxy published as the named instance
// "ConfigServer.Proxy", the server, its storage and subscription services, and the callback a
// subscriber implements. Slot orders are fixed; every interface starts with the three base
// operations.
#pragma once

#include "ComponentBase.h"
#include "Tessel.h"

inline constexpr GUID IID_IConfigServerProxy =
    RSM_GUID(0xA85AE290, 0x89EE, 0x46E0, 0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05);
inline constexpr GUID IID_IConfigServer =
    RSM_GUID(0x49079CBD, 0x3A8A, 0x4EE7, 0x86, 0x02, 0xB0, 0xEE, 0x8C, 0xB0, 0x08, 0x50);
inline constexpr GUID IID_IConfigStorage =
    RSM_GUID(0x8EF91B5E, 0x1B76, 0x4811, 0x8A, 0x4F, 0xDF, 0xA0, 0x32, 0x8A, 0xD4, 0x73);
inline constexpr GUID IID_IConfigSubscriptionService =
    RSM_GUID(0xB3BE9604, 0x1352, 0x4DAB, 0xB4, 0x13, 0xD3, 0x77, 0x64, 0xC0, 0xCE, 0x97);
inline constexpr GUID IID_IConfigModifyCallback =
    RSM_GUID(0xC58F7C8C, 0x47FB, 0x490D, 0xAC, 0x0F, 0xA6, 0xED, 0x5C, 0x96, 0xAD, 0xC8);
inline constexpr GUID IID_IConfigTransaction =
    RSM_GUID(0xB39D1088, 0x7059, 0x4455, 0x94, 0x71, 0xDD, 0x03, 0x9D, 0xFA, 0xF8, 0xA5);
inline constexpr GUID IID_IVXModifySubscription =
    RSM_GUID(0x77982B00, 0xD824, 0x4D28, 0xBD, 0x6A, 0xFF, 0x53, 0xEB, 0xD1, 0x37, 0xEC);
inline constexpr GUID IID_IVXNodeModifyEnum =
    RSM_GUID(0xE162A1C4, 0x6C6F, 0x4043, 0x94, 0xE3, 0xDB, 0x6A, 0xCE, 0xDF, 0x76, 0xDD);
inline constexpr GUID IID_IVXNodeEnumerator =
    RSM_GUID(0x539F4C74, 0x5361, 0x4109, 0xBD, 0x27, 0x13, 0x70, 0xB2, 0x84, 0xDF, 0x32);

class IConfigServer;
class IConfigModifyCallback;

class IConfigServerProxy : public IComponentBase
{
public:
    virtual HRESULT GetConfigServer(IConfigServer** server) = 0;

protected:
    ~IConfigServerProxy() = default;
};

class IConfigServer : public IComponentBase
{
public:
    // serviceId is the interface id of the wanted service; one reference for the caller.
    virtual HRESULT GetService(const GUID* serviceId, void** service) = 0;

protected:
    ~IConfigServer() = default;
};

// A unit of writes applied all or none by CommitTransaction.
class IConfigTransaction : public IComponentBase
{
protected:
    ~IConfigTransaction() = default;
};

class IConfigStorage : public IComponentBase
{
public:
    virtual HRESULT CreateTransaction(IConfigTransaction** transaction) = 0;
    virtual HRESULT CommitTransaction(IConfigTransaction* transaction) = 0;
    // A null transaction applies at once. Each node is stored at its full-path name.
    virtual HRESULT PutNodes(IConfigTransaction* transaction, std::uint32_t flags, IVXNode* const* nodes,
                             std::uint64_t count) = 0;
    virtual HRESULT RemoveNodes(IConfigTransaction* transaction, IVXNode* query) = 0;
    virtual HRESULT QueryNodes(IVXNode* query, std::uint32_t flags, IVXNode** nodes, std::uint64_t maxCount,
                               std::uint64_t* found) = 0;

protected:
    ~IConfigStorage() = default;
};

class IVXModifySubscription : public IComponentBase
{
public:
    // Called once by the subscriber after Subscribe: deliveries start.
    virtual HRESULT Start() = 0;
    // Deliveries stop (Unsubscribe does this too).
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetId(GUID* id) = 0;

protected:
    ~IVXModifySubscription() = default;
};

class IVXNodeEnumerator : public IComponentBase
{
public:
    virtual HRESULT Reset() = 0;
    // S_OK and a node the caller owns, or S_FALSE at the end.
    virtual HRESULT Next(IVXNode** node) = 0;

protected:
    ~IVXNodeEnumerator() = default;
};

class IVXNodeModifyEnum : public IComponentBase
{
public:
    virtual HRESULT GetNodeEnumerator(IVXNodeEnumerator** enumerator) = 0;

protected:
    ~IVXNodeModifyEnum() = default;
};

class IConfigModifyCallback : public IComponentBase
{
public:
    virtual HRESULT OnTriggered(IVXModifySubscription* subscription, std::int32_t kind,
                                IVXNodeModifyEnum* modifications) = 0;

protected:
    ~IConfigModifyCallback() = default;
};

class IConfigSubscriptionService : public IComponentBase
{
public:
    virtual HRESULT Subscribe(IVXNode* filter, IVXNode* request, IConfigModifyCallback* callback,
                              IVXModifySubscription** subscription) = 0;
    virtual HRESULT Unsubscribe(IVXModifySubscription* subscription) = 0;

protected:
    ~IConfigSubscriptionService() = default;
};

// ---------------------------------------------------------------------------------------------
// Subscription request: a node (conventionally named "SubscribeConfig") with the 64-bit integer
// attributes "ChangesMask" and "SubscribeOptions"; the filter is a "FilterByPath" query whose
// "NodePath" names the watched subtree and whose "MaxDepth" bounds how deep changes count.
//
// Each committed transaction that touches the watched subtree yields at most one modification
// node per subscription: "ModifiedNodePath" (text) = the subscribed "NodePath" exactly as given,
// "ChangesMask" (64-bit) = the kinds of change below that the commit made and the subscription
// asked for, "CommitSequence" (64-bit) = the store's commit number (increasing by one per
// effective commit), and, with CFG_SUBSCRIBE_INCLUDE_NODE, child 0 = the subscribed node as of
// that commit (absent when the node does not exist after the commit).

// Kinds of change ("ChangesMask" bits).
enum : std::uint64_t
{
    CFG_CHANGE_NODE_ADDED = 0x1,   // the subscribed node came into existence
    CFG_CHANGE_NODE_REMOVED = 0x2, // the subscribed node (or an ancestor) was removed
    CFG_CHANGE_ATTRIBUTES = 0x4,   // an attribute got a new value on a node of the subtree
                                   // (nodes created with attributes included)
    CFG_CHANGE_CHILDREN = 0x8,     // a node below the subscribed node was added or removed
    CFG_CHANGE_NODE_TYPE = 0x10,   // the node type of a node of the subtree was set or changed
    CFG_CHANGE_ALL = 0x1F,
};

// Delivery options ("SubscribeOptions" bits). Any other bit is refused with E_INVALIDARG.
enum : std::uint64_t
{
    CFG_SUBSCRIBE_INCLUDE_NODE = 0x1, // modification nodes carry the subscribed node as child 0
    CFG_SUBSCRIBE_SUBTREE = 0x2,      // ... with its subtree down to the filter's "MaxDepth"
                                      // (without it: the node alone)
    CFG_SUBSCRIBE_BATCH = 0x8,        // OnTriggered kind CFG_TRIGGER_BATCH with every modification
                                      // pending at delivery time, in commit order; without it
                                      // kind CFG_TRIGGER_NODE with exactly one modification each
    CFG_SUBSCRIBE_ALL = 0xB,
};

// OnTriggered kinds.
enum : std::int32_t
{
    CFG_TRIGGER_BATCH = 0,
    CFG_TRIGGER_NODE = 1,
};

// Results particular to the server.
constexpr HRESULT CFG_E_CLOSED = MakeHr(0x8000000E);         // transaction already committed, or
                                                             // subscription already stopped
constexpr HRESULT CFG_E_SERVER_STOPPED = MakeHr(0x80070426); // the server was stopped
constexpr HRESULT CFG_E_CONFLICT = MakeHr(0x800704D5);       // ERROR_RETRY: other servers on the
                                                             // same store kept committing first

// Flags of QueryNodes/PutNodes: only 0 is accepted.

// ---------------------------------------------------------------------------------------------
// Host side (libConfigServer.so).
//
// storeLocation: null, "" or "memory:" for an in-memory store; "sqlite:" followed by a file path
// (backslashes allowed) for a SQLite store in that file (created when missing, WAL mode, a commit
// is durable when it returns); "etcd:<endpoint>[,<endpoint>...]/<prefix>" (endpoints as
// "http://host:port") for a tree under the prefix of an etcd cluster that several servers may
// share (each sees every commit of the others in one order). Anything else: E_INVALIDARG.
//
// Fault injection: operation is one of "GetConfigServer", "GetService", "CreateTransaction",
// "CommitTransaction", "PutNodes", "RemoveNodes", "QueryNodes", "Subscribe", "Unsubscribe",
// "Start", "Stop", "GetId", "GetNodeEnumerator", "Next" (the calls of that name on this server's
// objects) or "StoreWrite" (the store's write of a commit fails; nothing of the commit is kept). The nth matching call from now (1 = the next) fails with result (a failure code)
// without doing anything; the fault is then spent. Several faults may be armed at once.
extern "C"
{
    // A new server over the store; the caller owns the proxy. Not registered anywhere.
    RSM_EXPORT HRESULT ConfigServerCreate(const wchar_t* storeLocation, IConfigServerProxy** proxy);
    // Stops a server: pending deliveries are dropped, delivery threads end (a delivery under way
    // on another thread is waited for), the store is closed. Later calls fail with
    // CFG_E_SERVER_STOPPED. The proxy stays the caller's to release.
    RSM_EXPORT HRESULT ConfigServerShutdown(IConfigServerProxy* proxy);

    // Starts a server over the store and registers its proxy as the named instance
    // "ConfigServer.Proxy". One registered server per process: a second start fails with
    // CFG_E_CLOSED. proxy may be null; when given, it receives a reference for the caller.
    RSM_EXPORT HRESULT ConfigServerStart(const wchar_t* storeLocation, IConfigServerProxy** proxy);
    // Withdraws "ConfigServer.Proxy" and stops the server started by ConfigServerStart.
    // S_FALSE when none was started.
    RSM_EXPORT HRESULT ConfigServerStop();

    // Whole-tree import and export in the data layer's text form (serialization format 1): the
    // text holds one root node whose children are the top-level nodes. Import merges the tree into
    // the store in one commit (as PutNodes would); export writes the whole store.
    RSM_EXPORT HRESULT ConfigServerImportText(IConfigServerProxy* proxy, const void* text,
                                              std::uint64_t size);
    RSM_EXPORT HRESULT ConfigServerImportFile(IConfigServerProxy* proxy, const wchar_t* filePath);
    RSM_EXPORT HRESULT ConfigServerExportText(IConfigServerProxy* proxy, VxnSerializationWriter writer,
                                              void* writerContext);
    RSM_EXPORT HRESULT ConfigServerExportFile(IConfigServerProxy* proxy, const wchar_t* filePath);

    RSM_EXPORT HRESULT ConfigServerInjectFault(IConfigServerProxy* proxy, const wchar_t* operation,
                                               std::uint32_t nth, HRESULT result);
    RSM_EXPORT HRESULT ConfigServerClearFaults(IConfigServerProxy* proxy);
}
