#pragma once
// What the platform answers about the two privileges. One implementation per platform
// (x11/permission_probe_x11.cc).

namespace cvl::PermissionProbe {

// Synthetic input can be posted (on X11: the display offers the XTest extension).
bool inputPostingAvailable();
// The screen can be read (on X11: the display opens and its root window can be read).
bool screenReadable();

}  // namespace cvl::PermissionProbe
