/*
 * zoom_settings.cpp - the library-wide settings of zoomed reads.
 */
#include "../core/library_state.h"

extern "C" QI_API void QI_SetScaleToGrayState(double factor) { quill::g_library.scaleToGrey = factor; }
