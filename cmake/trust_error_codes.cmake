# Generates a portable C++ header of the trust outcome numbers from the type library's
# TRUSTERRORCODE enumeration, so that the numbers are written in the IDL only.
#
#   cmake -DIDL=control/OrvaneControl.idl -DOUTPUT=.../trust_error_codes.h -P trust_error_codes.cmake
#
# The header holds orv::trust::TrustErrorCode with the IDL's members and values, and no
# <windows.h>: the native build compiles it too. Every member must have an explicit decimal
# value; anything else, or an IDL without the enumeration, stops the build.

cmake_minimum_required(VERSION 3.25)

foreach(var IDL OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "trust_error_codes.cmake: -D${var}=... is missing")
  endif()
endforeach()

file(READ "${IDL}" idl)
# Comments could hide or fake a member: drop them first (block comments, then line comments).
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" idl "${idl}")
string(REGEX REPLACE "//[^\n]*" "" idl "${idl}")

if(NOT idl MATCHES "enum[ \t\r\n]+TRUSTERRORCODE[ \t\r\n]*{([^}]*)}")
  message(FATAL_ERROR "${IDL}: enum TRUSTERRORCODE { ... } not found")
endif()
set(body "${CMAKE_MATCH_1}")

string(REGEX REPLACE "[ \t\r\n]+" "" body "${body}")
# A trailing comma after the last member is allowed.
string(REGEX REPLACE ",$" "" body "${body}")
string(REPLACE "," ";" members "${body}")

set(lines "")
set(names "")
set(values "")
foreach(member IN LISTS members)
  if(NOT member MATCHES "^([A-Za-z_][A-Za-z0-9_]*)=([0-9]+)$")
    message(FATAL_ERROR "${IDL}: TRUSTERRORCODE member '${member}' is not NAME = decimal value")
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  if(name IN_LIST names)
    message(FATAL_ERROR "${IDL}: TRUSTERRORCODE member ${name} appears twice")
  endif()
  if(value IN_LIST values)
    message(FATAL_ERROR "${IDL}: TRUSTERRORCODE value ${value} appears twice (${name})")
  endif()
  list(APPEND names "${name}")
  list(APPEND values "${value}")
  string(APPEND lines "    ${name} = ${value},\n")
endforeach()
if(NOT names)
  message(FATAL_ERROR "${IDL}: TRUSTERRORCODE has no members")
endif()

get_filename_component(idl_name "${IDL}" NAME)
set(header "// Generated from ${idl_name} (enum TRUSTERRORCODE) by cmake/trust_error_codes.cmake.
// Do not edit: change the IDL.
#pragma once

#include <cstdint>

namespace orv::trust {

// The ConnectionError numbers of signed updates and secure connections.
enum TrustErrorCode : int32_t {
${lines}};

}  // namespace orv::trust
")

# Rewritten only when the text changes, so an IDL edit elsewhere rebuilds nothing of this.
file(WRITE "${OUTPUT}.tmp" "${header}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
