// Main: the body of the app's main(), shared with test builds that bring their own presenter.
#pragma once

#include "shell/App.h"

namespace vantorelle {

// Says that a desktop session is needed and returns 1 when there is no display; otherwise runs the
// app until it quits. `makePresenter` may be empty (the app's own presenter).
int runApplication(int argc, char** argv, std::function<std::unique_ptr<UnlockPresenter>(App&)> makePresenter = {});

} // namespace vantorelle
