// The kept devices across restarts: <prefix dir>/.<prefix's last part>qlfwd-mqtt-devices,
// mode 0600, replaced whole through a scratch file beside it.
#pragma once
#include <string>

#include "delivery/devices.hpp"

namespace ql {

enum class DevicesLoaded {
    none,     // no file: nothing was kept yet
    ok,
    damaged,  // not such a file (bad_line tells where): nothing taken, replaced at the next save
};

DevicesLoaded load_devices(const char* path, DeviceTable& table, unsigned& bad_line);

// Writes the list to temp and renames it over path; false (nothing changed
// at path) when that fails.
bool save_devices(const char* path, const char* temp, const DeviceTable& table, std::string& buffer);

}  // namespace ql
