// The record through which the PIN flows (pin_policy.h) reach a container:
// each provider context has one, bound to the context's container, and the
// deletion of a container makes one for the container it deletes. It only
// observes the container, which its owner keeps alive.
#pragma once

#include "key_container.h"

#include <memory>
#include <mutex>

class CPinVerifier {
 public:
  CPinVerifier() = default;
  explicit CPinVerifier(const std::shared_ptr<CKeyContainer>& container) { Bind(container); }
  CPinVerifier(const CPinVerifier&) = delete;
  CPinVerifier& operator=(const CPinVerifier&) = delete;

  void Bind(const std::shared_ptr<CKeyContainer>& container);
  // Forgets the container (the context is being released).
  void Discard();
  // The container, or null once discarded or gone.
  std::shared_ptr<CKeyContainer> Container() const;

 private:
  mutable std::mutex lock_;
  std::weak_ptr<CKeyContainer> container_;
};
