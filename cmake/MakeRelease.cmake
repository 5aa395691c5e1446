# cmake -DBUNDLE_DIR=… -DOUTPUT_DIR=… -DARCHIVE_NAME=… -DVERSION=… -DBUILD=… -DDOWNLOAD_URL=…
#       [-DNOTES=…] [-DMINIMUM_SYSTEM=…] [-DSIGNING_KEY=key.pem] [-DOPENSSL=openssl] -P MakeRelease.cmake
# Writes OUTPUT_DIR/ARCHIVE_NAME, ARCHIVE_NAME.sha256 and latest.json. The key may also come
# from the environment variable VELK_RELEASE_SIGNING_KEY.

cmake_minimum_required(VERSION 3.25)

foreach(required BUNDLE_DIR OUTPUT_DIR ARCHIVE_NAME VERSION BUILD DOWNLOAD_URL)
    if("${${required}}" STREQUAL "")
        message(FATAL_ERROR "MakeRelease: ${required} is not set")
    endif()
endforeach()
if(NOT EXISTS "${BUNDLE_DIR}/Contents/Info.plist")
    message(FATAL_ERROR "MakeRelease: ${BUNDLE_DIR} is not a bundle")
endif()
# The client refuses these anyway; refusing them here spares publishing a release nobody takes.
if(NOT DOWNLOAD_URL MATCHES "^[Hh][Tt][Tt][Pp][Ss]://[^/?#]+")
    message(FATAL_ERROR "MakeRelease: the download URL must be https with a host: ${DOWNLOAD_URL}")
endif()
foreach(dotted VERSION BUILD MINIMUM_SYSTEM)
    if(NOT "${${dotted}}" STREQUAL "" AND NOT "${${dotted}}" MATCHES "^[0-9]+(\\.[0-9]+)*$")
        message(FATAL_ERROR "MakeRelease: ${dotted} must be dotted numbers: ${${dotted}}")
    endif()
endforeach()
if("${SIGNING_KEY}" STREQUAL "" AND DEFINED ENV{VELK_RELEASE_SIGNING_KEY})
    set(SIGNING_KEY "$ENV{VELK_RELEASE_SIGNING_KEY}")
endif()

get_filename_component(bundle_parent "${BUNDLE_DIR}" DIRECTORY)
get_filename_component(bundle_name "${BUNDLE_DIR}" NAME)
if(NOT bundle_name STREQUAL "VelkCompressor.app")
    message(FATAL_ERROR "MakeRelease: the bundle must be named VelkCompressor.app, not ${bundle_name}")
endif()
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(archive "${OUTPUT_DIR}/${ARCHIVE_NAME}")
file(REMOVE "${archive}" "${archive}.sha256" "${OUTPUT_DIR}/latest.json")

execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar czf "${archive}" --format=pax "${bundle_name}"
    WORKING_DIRECTORY "${bundle_parent}"
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "MakeRelease: could not write ${archive}")
endif()
file(SHA256 "${archive}" sha256)
file(WRITE "${archive}.sha256" "${sha256}  ${ARCHIVE_NAME}\n")

set(manifest "{}")
string(JSON manifest SET "${manifest}" version "\"${VERSION}\"")
string(JSON manifest SET "${manifest}" build "\"${BUILD}\"")
# Texts that may hold quotes, backslashes or line breaks go in escaped as JSON strings.
foreach(pair "download;DOWNLOAD_URL" "notes;NOTES")
    list(GET pair 0 key)
    list(GET pair 1 variable)
    if(NOT "${${variable}}" STREQUAL "")
        set(escaped "${${variable}}")
        string(REPLACE "\\" "\\\\" escaped "${escaped}")
        string(REPLACE "\"" "\\\"" escaped "${escaped}")
        string(REPLACE "\n" "\\n" escaped "${escaped}")
        string(REPLACE "\t" "\\t" escaped "${escaped}")
        string(REPLACE "\r" "\\r" escaped "${escaped}")
        string(JSON manifest SET "${manifest}" ${key} "\"${escaped}\"")
    endif()
endforeach()
string(JSON manifest SET "${manifest}" sha256 "\"${sha256}\"")
if(NOT "${MINIMUM_SYSTEM}" STREQUAL "")
    string(JSON manifest SET "${manifest}" minimum_macOS "\"${MINIMUM_SYSTEM}\"")
endif()

if(NOT "${SIGNING_KEY}" STREQUAL "")
    if("${OPENSSL}" STREQUAL "" OR NOT EXISTS "${OPENSSL}")
        find_program(OPENSSL openssl REQUIRED)
    endif()
    if(NOT EXISTS "${SIGNING_KEY}")
        message(FATAL_ERROR "MakeRelease: signing key ${SIGNING_KEY} does not exist")
    endif()
    set(signature_file "${OUTPUT_DIR}/${ARCHIVE_NAME}.sig")
    execute_process(
        COMMAND "${OPENSSL}" pkeyutl -sign -rawin -inkey "${SIGNING_KEY}" -in "${archive}" -out "${signature_file}"
        RESULT_VARIABLE sign_status)
    # Checking the fresh signature catches a key of another type before anything is published.
    execute_process(
        COMMAND "${OPENSSL}" pkeyutl -verify -rawin -inkey "${SIGNING_KEY}" -in "${archive}" -sigfile "${signature_file}"
        RESULT_VARIABLE verify_status OUTPUT_QUIET)
    set(signature_size 0)
    if(EXISTS "${signature_file}")
        file(SIZE "${signature_file}" signature_size)
    endif()
    if(NOT sign_status EQUAL 0 OR NOT verify_status EQUAL 0 OR NOT signature_size EQUAL 64)
        file(REMOVE "${signature_file}")
        message(FATAL_ERROR "MakeRelease: could not sign with ${SIGNING_KEY} (an Ed25519 private key in PEM?)")
    endif()
    execute_process(
        COMMAND "${OPENSSL}" base64 -A -in "${signature_file}"
        OUTPUT_VARIABLE signature OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    file(REMOVE "${signature_file}")
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "MakeRelease: could not encode the signature")
    endif()
    string(JSON manifest SET "${manifest}" signature "\"${signature}\"")
    message(STATUS "Signed ${ARCHIVE_NAME}")
else()
    message(STATUS "No signing key: ${ARCHIVE_NAME} is not signed")
endif()

file(WRITE "${OUTPUT_DIR}/latest.json" "${manifest}\n")
message(STATUS "Release: ${archive} (sha256 ${sha256})")
