// A strict JSON syntax check for tests (RFC 8259 grammar, no extensions).
#pragma once

#include <string_view>

bool jsonIsValid(std::string_view text);
