// The user-interface library's C interface: what the engine binds by name
// from libquorin_ui.so, and the start routine it hands over. One header for
// the library, the engine's binding table and the test stand-in, so the
// compiler checks that all three agree.
#pragma once

extern "C" {

// The engine's start routine. The interface's engine thread calls it with
// its own thread object, which the engine ignores; it returns only when the
// engine could not start.
using StartCallback = int (*)(void* thread_object);

// Start-up stage reported by the engine, 1 to 9.
using ProgressStage = int;

#define QUORIN_UI_EXPORT __attribute__((visibility("default")))

// UIShowLoginForm's result when no display could be opened: nothing was
// shown and the start routine was not called.
constexpr int ui_result_no_display = -2;

// Runs the whole interface on the calling thread; returns the event loop's
// result, 1 when there is no system tray, ui_result_no_display when there is
// no display. Only the low byte of flag counts: 0 asks to connect at once
// with the existing configuration.
QUORIN_UI_EXPORT int UIShowLoginForm(StartCallback start, int flag);
// Any thread. Always 0.
QUORIN_UI_EXPORT int UIProgress(ProgressStage stage);
// Engine thread, once the engine is up; the argument is ignored.
QUORIN_UI_EXPORT void UIStartStat(int unused);
// Engine thread, on shutdown: hangs up the dial-up link when so set and
// ends the interface.
QUORIN_UI_EXPORT void UIQuit();

}  // extern "C"
