// Notes on standard error for a newcomer's likely mistakes at start, each
// printed once, naming what was found and what would work. They change
// nothing: the program goes on exactly as without them.
#pragma once

namespace ql {

// Dotted digits ("127.0.0.1") or a host name ("fhem", "server.local"). Pure.
bool looks_like_address(const char* argument);

// An address-like argument right after a bare "-t", "-T", "-m" or "-M".
void note_stray_address(const char* option, const char* argument);
// -H given, but the mode sends to no broker.
void note_discovery_without_broker();
// Own-address detection ended at the fixed fallback address.
void note_fallback_address();
// An argument without "/" that names an existing directory.
void note_directory_argument(const char* argument);
// The prefix's directory is missing or not writable for this user, or the
// prefix names a directory but lacks its "/".
void note_prefix(const char* prefix);
// The UDP endpoint could not be opened or bound, with the system's reason;
// also without "-d".
void note_socket(int error);

}  // namespace ql
