// The command line: each argument, in order, applied to the settings by the
// first rule that matches it.
#pragma once
#include "common/settings.hpp"
#include "common/version.hpp"

namespace ql {

enum class ArgumentAction {
    none,              // applied (or ignored)
    version,           // print the version line, then go on
    detect,            // -t/-T without an address: detect this host's address now
    help,              // print the usage text and end
    address_too_long,  // refused: more than telip_max characters
    address_option,    // refused: begins with "-", nc would take it for an option
    broker_invalid,    // refused: not [USER@]HOST[:PORT]
};

// The longest address the option takes (telip_max for -t/-T, broker_max for -m/-M).
std::size_t address_max(const char* argument);

ArgumentAction apply_argument(const char* argument, Settings& settings);

extern const char usage_text[];

}  // namespace ql
