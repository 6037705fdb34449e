#include "Platform/ConfigServer/Store.h"

#include "Platform/Core/Text.h"

#include <sqlite3.h>

#include <cstring>
#include <unordered_map>

namespace ConfigServer
{
namespace
{

constexpr HRESULT kStoreFailure = MakeHr(0x80004005);

HRESULT FromSqlite(int rc)
{
    switch (rc)
    {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return S_OK;
    case SQLITE_NOMEM:
        return E_OUTOFMEMORY;
    case SQLITE_CANTOPEN:
        return MakeHr(0x80070003); // path not found
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return E_ACCESSDENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return HR_SHARING_VIOLATION;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return HR_INVALID_DATA;
    default:
        return kStoreFailure;
    }
}

class Statement
{
public:
    Statement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr); }
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Prepared() const { return m_rc; }
    sqlite3_stmt* Get() const { return m_statement; }
    void BindText(int index, const std::string& text)
    {
        sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    int Run()
    {
        int rc = sqlite3_step(m_statement);
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_rc = SQLITE_OK;
};

// One row per node: its full path (UTF-8, so that binary order keeps a parent before its
// children and a subtree is one key range), parent path, order key among its siblings, type and
// encoded attributes. Children are not stored: they are the rows that name the node as parent.
class SqliteStore final : public IStore
{
public:
    explicit SqliteStore(sqlite3* db) : m_db(db) {}
    ~SqliteStore() override { sqlite3_close_v2(m_db); }

    HRESULT Init()
    {
        // Exclusive: the server's in-memory tree is the truth, so a second server on the same file
        // must be refused rather than diverge.
        const char* setup = "PRAGMA locking_mode=EXCLUSIVE;"
                            "PRAGMA journal_mode=WAL;"
                            "PRAGMA synchronous=FULL;"
                            "CREATE TABLE IF NOT EXISTS nodes("
                            " path TEXT PRIMARY KEY, parent TEXT NOT NULL, ord INTEGER NOT NULL,"
                            " type TEXT NOT NULL, attrs BLOB) WITHOUT ROWID;";
        sqlite3_busy_timeout(m_db, 1000);
        int rc = sqlite3_exec(m_db, setup, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
        {
            return FromSqlite(rc);
        }
        // WAL must really be on: otherwise a commit is not durable the way we promise.
        Statement mode(m_db, "PRAGMA journal_mode;");
        if (mode.Prepared() != SQLITE_OK || sqlite3_step(mode.Get()) != SQLITE_ROW ||
            std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(mode.Get(), 0)), "wal") != 0)
        {
            return kStoreFailure;
        }
        return S_OK;
    }

    HRESULT Load(NodeP& root, StoreState& state) override
    {
        state = StoreState{};
        root = std::make_shared<Node>();
        Statement select(m_db, "SELECT path, parent, ord, type, attrs FROM nodes ORDER BY path;");
        if (select.Prepared() != SQLITE_OK)
        {
            return FromSqlite(select.Prepared());
        }
        std::unordered_map<std::wstring, Node*> byPath;
        byPath.emplace(L"\\", root.get());
        int rc;
        while ((rc = sqlite3_step(select.Get())) == SQLITE_ROW)
        {
            auto text = [&](int column)
            {
                const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(select.Get(), column));
                return Platform::FromUtf8(
                    std::string_view(bytes ? bytes : "", sqlite3_column_bytes(select.Get(), column)));
            };
            std::wstring path = text(0);
            std::wstring parentPath = text(1);
            Node* node = nullptr;
            if (path == L"\\")
            {
                node = root.get();
            }
            else
            {
                auto parent = byPath.find(parentPath);
                if (parent == byPath.end())
                {
                    return HR_INVALID_DATA; // rows sort parents first, so this is a broken store
                }
                auto child = std::make_shared<Node>();
                child->name = path.substr(path.rfind(L'\\') + 1);
                child->order = static_cast<std::uint64_t>(sqlite3_column_int64(select.Get(), 2));
                node = child.get();
                parent->second->children.Load(std::move(child));
                byPath.emplace(path, node);
            }
            node->type = text(3);
            if (!DecodeAttributes(sqlite3_column_blob(select.Get(), 4), sqlite3_column_bytes(select.Get(), 4),
                                  node->attributes))
            {
                return HR_INVALID_DATA;
            }
        }
        if (rc != SQLITE_DONE)
        {
            return FromSqlite(rc);
        }
        for (auto& [path, loaded] : byPath)
        {
            loaded->children.Restore(); // rows come by path, children belong in order
        }
        return S_OK;
    }

    HRESULT Persist(const ChangeSet& changes, const StoreState& base, StoreState& committed) override
    {
        int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
        {
            return FromSqlite(rc);
        }
        HRESULT hr = Write(changes);
        if (SUCCEEDED(hr))
        {
            rc = sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr);
            hr = FromSqlite(rc);
        }
        if (FAILED(hr))
        {
            sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
            return hr;
        }
        committed = {base.revision + 1, base.sequence + 1};
        return S_OK;
    }

private:
    HRESULT Write(const ChangeSet& changes)
    {
        Statement remove(m_db, "DELETE FROM nodes WHERE path = ?1 OR (path >= ?2 AND path < ?3);");
        Statement insert(m_db, "INSERT OR REPLACE INTO nodes(path, parent, ord, type, attrs) "
                               "VALUES(?1, ?2, ?3, ?4, ?5);");
        if (remove.Prepared() != SQLITE_OK || insert.Prepared() != SQLITE_OK)
        {
            return FromSqlite(remove.Prepared() != SQLITE_OK ? remove.Prepared() : insert.Prepared());
        }
        for (const auto& path : changes.removed)
        {
            // Everything below "\A" lies in ["\A\", "\A]"): ']' follows '\' in code order.
            remove.BindText(1, Platform::ToUtf8(path));
            remove.BindText(2, Platform::ToUtf8(path + L"\\"));
            remove.BindText(3, Platform::ToUtf8(path + L"]"));
            int rc = remove.Run();
            if (rc != SQLITE_OK)
            {
                return FromSqlite(rc);
            }
        }
        for (const NodeRecord& record : changes.written)
        {
            insert.BindText(1, Platform::ToUtf8(record.Path()));
            insert.BindText(2, Platform::ToUtf8(record.Parent()));
            sqlite3_bind_int64(insert.Get(), 3, static_cast<sqlite3_int64>(record.Order()));
            insert.BindText(4, Platform::ToUtf8(record.Target().type));
            std::vector<std::uint8_t> attributes = EncodeAttributes(record.Target().attributes);
            sqlite3_bind_blob(insert.Get(), 5, attributes.data(), static_cast<int>(attributes.size()),
                              SQLITE_TRANSIENT);
            int rc = insert.Run();
            if (rc != SQLITE_OK)
            {
                return FromSqlite(rc);
            }
        }
        return S_OK;
    }

    sqlite3* m_db;
};

} // namespace

HRESULT CreateSqliteStore(const std::string& file, std::unique_ptr<IStore>& store)
{
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
    {
        sqlite3_close_v2(db);
        return FromSqlite(rc);
    }
    auto sqlite = std::make_unique<SqliteStore>(db);
    HRESULT hr = sqlite->Init();
    if (FAILED(hr))
    {
        return hr;
    }
    store = std::move(sqlite);
    return S_OK;
}

} // namespace ConfigServer
