# The build's key check (cmake/PublisherKey.cmake) on one key file, as configuring with
# APP_PUBLISHER_KEY set to it runs it; prints "key taken" when it passes.
#   PEM: the key file; SCRATCH: a folder of this test's own
#   EDIT: none, or one change made to a copy of the file first: crlf, no-begin, no-end,
#         not-base64, no-padding, hybrid (a point in hybrid form, 0x06: the same size),
#         longer (valid base64 of five bytes more)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/PublisherKey.cmake)

set(pem "${PEM}")
if(NOT EDIT STREQUAL "none")
  file(READ "${PEM}" text)
  if(EDIT STREQUAL "crlf")
    string(REPLACE "\n" "\r\n" text "${text}")
  elseif(EDIT STREQUAL "no-begin")
    string(REPLACE "-----BEGIN PUBLIC KEY-----" "" text "${text}")
  elseif(EDIT STREQUAL "no-end")
    string(REPLACE "-----END PUBLIC KEY-----" "" text "${text}")
  elseif(EDIT STREQUAL "not-base64")
    string(REPLACE "MFkw" "MF*w" text "${text}")
  elseif(EDIT STREQUAL "no-padding")
    string(REPLACE "==" "" text "${text}")
  elseif(EDIT STREQUAL "hybrid")
    string(REPLACE "DQgAE" "DQgAG" text "${text}")
  elseif(EDIT STREQUAL "longer")
    string(REPLACE "==\n" "AAAAAA\n" text "${text}")
  else()
    message(FATAL_ERROR "unknown EDIT ${EDIT}")
  endif()
  set(pem "${SCRATCH}/edited.pem")
  file(WRITE "${pem}" "${text}")
endif()
app_write_publisher_key_header("${pem}" "${SCRATCH}/publisher_key_data.h")
message("key taken")
