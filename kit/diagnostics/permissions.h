#pragma once
// The two privileges the host needs: posting synthetic input ("Accessibility") and reading
// the screen ("Screen Recording"). Every call asks the system afresh; any thread may call.

#include <string>

namespace cvl::Permissions {

// Whether synthetic input can be posted. `prompt` asks the system to show its own dialog
// when the answer is no; where the system has no such dialog it changes nothing.
bool hasAccessibility(bool prompt);
// Whether the screen can be read; never shows anything.
bool hasScreenRecording();
// Asks for screen access; answers the state at this moment.
bool requestScreenRecording();
// Writes the "[perm]" report through the log and, when `openSettings` is true, opens the
// Accessibility and then the Screen Recording settings pane.
void report(bool openSettings);

enum class Pane { accessibility, screenRecording };
// The settings address of a pane.
std::string settingsURL(Pane pane);
// Opens a pane in the background without waiting; failures are silent.
void openSettings(Pane pane);

}  // namespace cvl::Permissions
