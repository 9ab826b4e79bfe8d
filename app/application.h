#pragma once
// Application-wide services: the title, the standard error display, and the
// guard that keeps an error raised in an event handler from escaping into the
// event loop.

#include <exception>
#include <functional>
#include <string>

namespace app {

inline constexpr const char* kApplicationTitle = "KolvaUpdater";

// The standard error display: a message box with the error's text under the
// application's title.
void showException(const std::exception& e);

// Runs a handler; an error it raises is shown with showException.
void guarded(const std::function<void()>& handler);

// Makes the compiled-in pictures and fonts available; safe to call often.
void initResources();

// Registers the fonts that ship with the program and maps the faces the
// windows name onto them.
void installFonts();

}  // namespace app
