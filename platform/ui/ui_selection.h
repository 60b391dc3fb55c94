// Chooses the UI backend from KAVRIN_UI each time a dialog is shown.
#pragma once

#include <memory>

#include "ui/ui_backend.h"

namespace kavrin::platform::ui {

// The backend for the current value of KAVRIN_UI, never null. While the value
// stays the same the same backend is returned, so a script keeps its place;
// a new value makes a new backend.
std::shared_ptr<UiBackend> CurrentBackend();

}  // namespace kavrin::platform::ui
