#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ChildProcess.h"
#include "support/TempDir.h"

namespace velk::test {

/// A local HTTPS server (support/https_server.py) with a certificate for 127.0.0.1 from a
/// CA of its own, and an Ed25519 publisher key, all made with the openssl tool.
///
/// Besides the files it serves, "/status/N" answers status N, "/redirect?to=URL" redirects
/// and "/slow/NAME" serves NAME after a second. "/drip" (two bytes a second), "/endless"
/// and "/huge" (64 GiB announced) never end.
class HttpsTestServer {
public:
    /// None when openssl or python3 is missing (the caller skips); throws when the server
    /// does not come up.
    static std::unique_ptr<HttpsTestServer> start();

    /// "https://127.0.0.1:PORT".
    const std::string& origin() const { return origin_; }
    /// The CA certificate to trust (PEM).
    std::filesystem::path caFile() const { return dir_ / "ca.pem"; }
    /// The folder served at "/".
    const std::filesystem::path& root() const { return root_; }
    /// The publisher's raw 32-byte public key.
    const std::string& publisherKey() const { return publisherKey_; }

    /// Serves `bytes` under a fresh name and returns its URL.
    std::string publish(std::string_view bytes);
    /// The publisher's raw 64-byte Ed25519 signature of `bytes`.
    std::string sign(std::string_view bytes);
    /// One "PATH ACCEPT-HEADER" line per request so far.
    std::string requests() const;

private:
    HttpsTestServer();

    TempDir dir_;
    std::filesystem::path root_ = dir_ / "root";
    std::unique_ptr<ChildProcess> process_;
    std::string origin_;
    std::string publisherKey_;
    int published_ = 0;
};

} // namespace velk::test
