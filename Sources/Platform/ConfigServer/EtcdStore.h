// The tree kept in an etcd cluster that several servers share; see the README for the key layout.
#pragma once

#include "Platform/ConfigServer/Store.h"

#include <memory>
#include <string_view>

namespace ConfigServer
{

// location: "<endpoint>[,<endpoint>...]/<prefix>" (what follows "etcd:" in a store location). Nothing
// is sent to the cluster before Load.
HRESULT CreateEtcdStore(std::wstring_view location, std::unique_ptr<IStore>& store);

// Test access: holds the store's watch stream closed while paused (as if the connection were lost),
// so that a test can move the cluster on behind it.
void PauseEtcdWatch(IStore& store, bool paused);

} // namespace ConfigServer
