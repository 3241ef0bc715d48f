// The release, as the -v line and a discovery config's origin give it.
#pragma once

namespace ql {

constexpr char version_text[] = "v0.2";
constexpr const char* version_number = version_text + 1;  // "0.2"

}  // namespace ql
