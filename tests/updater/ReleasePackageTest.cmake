# cmake -DMAKE_RELEASE=cmake/MakeRelease.cmake -DUPDATER=VelkUpdater -DWORK=dir -P ReleasePackageTest.cmake
# A release written by the packaging script is signed verifiably and installs with the installer.

find_program(OPENSSL openssl)
if(NOT OPENSSL)
    message("skipped: openssl not installed")
    return()
endif()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
    endif()
endfunction()

function(make_bundle bundle version)
    file(MAKE_DIRECTORY "${bundle}/Contents/MacOS")
    file(WRITE "${bundle}/Contents/Info.plist" "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>
<key>CFBundleIdentifier</key><string>com.velk.compressor</string>
<key>CFBundleShortVersionString</key><string>${version}</string>
<key>CFBundleExecutable</key><string>VelkCompressor</string></dict></plist>\n")
    file(WRITE "${bundle}/Contents/MacOS/VelkCompressor" "#!/bin/sh\n")
    file(CHMOD "${bundle}/Contents/MacOS/VelkCompressor" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
make_bundle("${WORK}/build/VelkCompressor.app" 2.0.0)
make_bundle("${WORK}/Applications/VelkCompressor.app" 1.0.0)
run("${OPENSSL}" genpkey -algorithm ed25519 -out "${WORK}/key.pem")
run("${OPENSSL}" pkey -in "${WORK}/key.pem" -pubout -out "${WORK}/public.pem")

set(ENV{VELK_RELEASE_SIGNING_KEY} "${WORK}/key.pem")
run("${CMAKE_COMMAND}" "-DBUNDLE_DIR=${WORK}/build/VelkCompressor.app" "-DOUTPUT_DIR=${WORK}/release"
    -DARCHIVE_NAME=VelkCompressor-2.0.0.tar.gz -DVERSION=2.0.0 -DBUILD=2.0.0.7
    -DDOWNLOAD_URL=https://example.test/VelkCompressor-2.0.0.tar.gz "-DNOTES=Faster \"PNG\"\nFixes" -P "${MAKE_RELEASE}")
set(archive "${WORK}/release/VelkCompressor-2.0.0.tar.gz")

file(READ "${WORK}/release/latest.json" manifest)
file(SHA256 "${archive}" sha256)
string(JSON got GET "${manifest}" sha256)
string(JSON notes GET "${manifest}" notes)
string(JSON build GET "${manifest}" build)
if(NOT got STREQUAL sha256 OR NOT notes STREQUAL "Faster \"PNG\"\nFixes" OR NOT build STREQUAL "2.0.0.7")
    message(FATAL_ERROR "manifest does not describe the archive:\n${manifest}")
endif()
string(JSON signature GET "${manifest}" signature)
file(WRITE "${WORK}/signature.b64" "${signature}\n")
run("${OPENSSL}" base64 -d -in "${WORK}/signature.b64" -out "${WORK}/signature.bin")
run("${OPENSSL}" pkeyutl -verify -rawin -pubin -inkey "${WORK}/public.pem" -in "${archive}"
    -sigfile "${WORK}/signature.bin")

set(ENV{TMPDIR} "${WORK}")
run("${UPDATER}" --pid -1 --target "${WORK}/Applications/VelkCompressor.app" --dmg "${archive}" --version 2.0.0)
file(READ "${WORK}/Applications/VelkCompressor.app/Contents/Info.plist" installed)
if(NOT installed MATCHES "<string>2.0.0</string>")
    message(FATAL_ERROR "the release did not install:\n${installed}")
endif()
file(REMOVE_RECURSE "${WORK}")
