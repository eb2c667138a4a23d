#pragma once

// The one settings store of the application: QSettings in its native format
// (an INI file under $XDG_CONFIG_HOME/Orvane/ on Linux). Every reader and
// writer names the store through these two constants:
//     QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);

namespace settingsstore {

inline constexpr const char* kOrganisation = "Orvane";
inline constexpr const char* kApplication = "quOrbel Pro";

} // namespace settingsstore
