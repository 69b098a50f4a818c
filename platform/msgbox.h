// The engine's message box. The engine has no window, so a box becomes one
// line on standard error: caption, then text. Nothing waits for a user.
#pragma once

void message_box(const char* text, const char* caption);
