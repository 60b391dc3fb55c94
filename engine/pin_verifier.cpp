#include "pin_verifier.h"

void CPinVerifier::Bind(const std::shared_ptr<CKeyContainer>& container) {
  std::lock_guard<std::mutex> guard(lock_);
  container_ = container;
}

void CPinVerifier::Discard() {
  std::lock_guard<std::mutex> guard(lock_);
  container_.reset();
}

std::shared_ptr<CKeyContainer> CPinVerifier::Container() const {
  std::lock_guard<std::mutex> guard(lock_);
  return container_.lock();
}
