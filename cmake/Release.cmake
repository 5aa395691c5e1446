# The `release-package` target writes what a maintainer publishes for the update client: the
# bundle as a gzip-compressed tar archive with VelkCompressor.app at its top, the archive's
# SHA-256 and the release manifest "latest.json" that points at it. (`package` is CPack's.)

if(DEFINED VELK_UPDATE_HOST)
    set(velk_release_host "${VELK_UPDATE_HOST}")
else()
    set(velk_release_host "velk.app")
endif()
set(VELK_RELEASE_ARCHIVE_NAME "VelkCompressor-${PROJECT_VERSION}.tar.gz")
set(VELK_RELEASE_DOWNLOAD_URL
    "https://${velk_release_host}/downloads/velk-compressor/${VELK_RELEASE_ARCHIVE_NAME}"
    CACHE STRING "Where the published archive will be downloaded from (https)")
set(VELK_RELEASE_NOTES "" CACHE STRING "Release notes shown before an update is installed")
set(VELK_RELEASE_MINIMUM_SYSTEM "" CACHE STRING
    "Lowest kernel version (dotted numbers) the release runs on; empty: any")
# A path here keeps the key's location in the cache; the environment variable of the same name,
# read when the target runs, keeps it out of the build tree altogether.
set(VELK_RELEASE_SIGNING_KEY "" CACHE FILEPATH
    "Ed25519 private key (PEM) that signs the archive; empty: \$ENV{VELK_RELEASE_SIGNING_KEY} or unsigned")
find_program(VELK_OPENSSL_PROGRAM openssl)

set(VELK_RELEASE_DIR "${CMAKE_BINARY_DIR}/release")
add_custom_target(release-package
    COMMAND ${CMAKE_COMMAND}
            "-DBUNDLE_DIR=${VELK_BUNDLE_DIR}"
            "-DOUTPUT_DIR=${VELK_RELEASE_DIR}"
            "-DARCHIVE_NAME=${VELK_RELEASE_ARCHIVE_NAME}"
            "-DVERSION=${VELK_BUNDLE_VERSION}"
            "-DBUILD=${VELK_BUNDLE_BUILD}"
            "-DDOWNLOAD_URL=${VELK_RELEASE_DOWNLOAD_URL}"
            "-DNOTES=${VELK_RELEASE_NOTES}"
            "-DMINIMUM_SYSTEM=${VELK_RELEASE_MINIMUM_SYSTEM}"
            "-DSIGNING_KEY=${VELK_RELEASE_SIGNING_KEY}"
            "-DOPENSSL=${VELK_OPENSSL_PROGRAM}"
            -P "${PROJECT_SOURCE_DIR}/cmake/MakeRelease.cmake"
    DEPENDS velk_bundle
    COMMENT "Writing the release into ${VELK_RELEASE_DIR}"
    VERBATIM)
