# Signs a freshly linked Windows program with Authenticode (osslsigncode,
# SHA-256, no timestamp server: a build never goes to the network). Run by
# the program's POST_BUILD step, so only after a link, which always leaves an
# unsigned file: each relink is signed once.
#   cmake -DOSSLSIGNCODE=TOOL -DPROGRAM=FILE.exe -DDESCRIPTION=TEXT [-DURL=URL]
#         (-DCERT=CHAIN.pem -DKEY=KEY.pem | -DPKCS12=FILE.p12) [-DPASSWORD_FILE=FILE]
#         -P sign-authenticode.cmake
#
# osslsigncode will not write over its input: it signs into a file beside
# the program, which then takes the program's name (a rename on one file
# system, so the program is never seen half written).
#
# A failed signing deletes the program. Ninja keeps the output of a failed
# command, and the next build would take that unsigned file, newer than its
# objects, for up to date; without it, the next build links and signs again.
cmake_minimum_required(VERSION 3.25)

foreach(required OSSLSIGNCODE PROGRAM DESCRIPTION)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "sign-authenticode: ${required} not given")
  endif()
endforeach()

set(identity)
if(PKCS12)
  list(APPEND identity -pkcs12 "${PKCS12}")
elseif(CERT AND KEY)
  list(APPEND identity -certs "${CERT}" -key "${KEY}")
else()
  message(FATAL_ERROR "sign-authenticode: neither CERT and KEY nor PKCS12 given")
endif()
if(PASSWORD_FILE)
  # Read by osslsigncode itself: the password is in no command line.
  list(APPEND identity -readpass "${PASSWORD_FILE}")
endif()
set(details -n "${DESCRIPTION}")
if(URL)
  list(APPEND details -i "${URL}")
endif()

set(signed "${PROGRAM}.signing")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -h sha256 ${identity} ${details} -in "${PROGRAM}" -out "${signed}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT EXISTS "${signed}")
  file(REMOVE "${signed}" "${PROGRAM}")
  message(FATAL_ERROR "osslsigncode could not sign ${PROGRAM} (status ${status}); the program is deleted "
    "so that the next build links and signs it again:\n${output}")
endif()
file(RENAME "${signed}" "${PROGRAM}")
