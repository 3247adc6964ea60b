#pragma once
// A hook for tests of the real binary under an X server: they find controls
// by object name, never by guessed pixel positions.
//
// With QUILLMARK_WIDGET_GEOMETRY=FILE in the environment, each time a window
// is shown, moved or resized, its client area and every named widget inside
// it are appended to FILE in global screen coordinates, one line each:
//     <window title> TAB <object name> TAB <x> TAB <y> TAB <width> TAB <height>
// the window itself under the name "*". The latest line of a name holds.

// Installs the hook when the variable is set; does nothing otherwise.
void installWidgetGeometryProbe();
