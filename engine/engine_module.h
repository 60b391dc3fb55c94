// The engine's process-wide state and its start-up and unload.
//
// One instance per loaded image. InitInstance runs when the module is loaded
// (and is refused a second time); ExitInstance runs when it is unloaded or the
// process ends, and releases every context still open before any of the state
// below is torn down.
//
// Engine lock order, outermost first: container-list lock, container storage
// lock (container_lock.h, shared by every process; never held across a
// dialog), context lock, hash-list lock, registry lock. The registry lock is
// re-entrant, but nothing is called under it; contexts taken out of the
// registry (unload, deletion of a container) are released after it is left,
// so that unload (registry, then containers) and deletion (containers, then
// registry) cannot deadlock. A key object's lock and a PIN verifier's are
// leaves: nothing else is taken under them.
#pragma once

#include "container_manager.h"
#include "handle_registry.h"
#include "hash_list.h"
#include "openssl_context.h"

#include <kavrin/types.h>

#include <mutex>
#include <string>

class CEngineModule {
 public:
  static CEngineModule& Instance();

  // Stores the module path and creates the container directory; the lists and
  // locks exist from construction on. Once per instance.
  BOOL InitInstance();
  // Releases every context still registered, as CPReleaseContext would.
  void ExitInstance();

  COpenSslContext& OpenSsl() { return openssl_; }
  CHandleRegistry& Registry() { return registry_; }
  CContainerManager& Containers() { return containers_; }
  CHashList& Hashes() { return hashes_; }
  // Full path of the engine module, empty when unknown.
  const std::u16string& ModulePath() const { return module_path_; }

 private:
  CEngineModule();
  ~CEngineModule();
  CEngineModule(const CEngineModule&) = delete;
  CEngineModule& operator=(const CEngineModule&) = delete;

  // Members are destroyed bottom-up, after ExitInstance emptied the lists.
  COpenSslContext openssl_;
  CHandleRegistry registry_;
  CHashList hashes_;
  CContainerManager containers_;
  std::u16string module_path_;
  std::once_flag started_;
};

inline CEngineModule& Engine() { return CEngineModule::Instance(); }
