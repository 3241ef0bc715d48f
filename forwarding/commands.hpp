// Command texts for the command server, built from a record line. Pure: they
// only append to the given text, whose capacity is kept from call to call.
#pragma once
#include <cstddef>
#include <string>

#include "forwarding/record.hpp"

namespace ql {

constexpr std::size_t field_max = 28;

// The label less its leading "_", every byte but a letter, digit or "_"
// written "_" (the server takes a name it does not know as a pattern, where
// "." matches anything). Returns the length.
std::size_t reading_name(char out[label_max + 1], Label label);

// Every ";" of the record line is written ";;", which the server reads back
// as the one ";" inside the same command.

// Mode 1: one "setreading <name>_<counter> state <field>" CR LF per field.
void reading_commands(std::string& out, const char* reading, const char* line, std::size_t line_len);

// Mode 2: "{ <name>("<line, escaped>" ) }" CR LF, a single line whose literal
// cannot be closed or interpolated by the line's own bytes.
void call_expression(std::string& out, const char* name, std::size_t name_len, const char* line,
                     std::size_t line_len);

// The whole command text of one datagram for mode 1 or 2, ending in "quit\n".
void command_text(std::string& out, int mode, const char* name, std::size_t name_len, Label label,
                  const char* line, std::size_t line_len);

}  // namespace ql
