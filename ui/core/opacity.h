// The statistics window's opacity as "Interface.ini" keeps it: a fraction
// of 1 under the key OPACITY, restored into the slider as whole per cent.
//
// The window's own opacity is held in 1/255 steps, so saving it and
// restoring it through a truncation loses a step on most runs; the slider's
// value is saved instead, and read back exactly.
#pragma once

double opacity_setting_from_slider(int slider_value);
// Truncates, as files written from the window's own opacity expect, but
// after a small allowance: 0.29 x 100 is 28.999999999999996 in binary.
int opacity_slider_from_setting(double stored);
