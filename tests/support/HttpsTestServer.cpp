#include "support/HttpsTestServer.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velk::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path openssl = "/usr/bin/openssl";
const fs::path python = "/usr/bin/python3";

void run(const fs::path& program, const std::vector<std::string>& arguments) {
    if (ChildProcess(program, arguments).wait() != 0) {
        throw std::runtime_error(program.native() + " failed: " + arguments.front());
    }
}

} // namespace

std::unique_ptr<HttpsTestServer> HttpsTestServer::start() {
    if (!fs::exists(openssl) || !fs::exists(python))
        return nullptr;
    return std::unique_ptr<HttpsTestServer>(new HttpsTestServer);
}

HttpsTestServer::HttpsTestServer() {
    const auto at = [this](const char* name) { return (dir_ / name).native(); };
    fs::create_directories(root_);
    writeFile(dir_ / "ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::vector<std::string> ecKey = {"-newkey", "ec", "-pkeyopt",
                                            "ec_paramgen_curve:prime256v1", "-nodes"};
    auto caArguments = std::vector<std::string>{
        "req",     "-x509",      "-days", "2",         "-subj", "/CN=Velk Test CA",
        "-keyout", at("ca.key"), "-out",  at("ca.pem")};
    caArguments.insert(caArguments.begin() + 2, ecKey.begin(), ecKey.end());
    run(openssl, caArguments);
    auto requestArguments = std::vector<std::string>{
        "req", "-subj", "/CN=localhost", "-keyout", at("server.key"), "-out", at("server.csr")};
    requestArguments.insert(requestArguments.begin() + 1, ecKey.begin(), ecKey.end());
    run(openssl, requestArguments);
    run(openssl,
        {"x509", "-req", "-in", at("server.csr"), "-CA", at("ca.pem"), "-CAkey", at("ca.key"),
         "-CAcreateserial", "-days", "2", "-extfile", at("ext.cnf"), "-out", at("server.pem")});
    run(openssl, {"genpkey", "-algorithm", "ed25519", "-out", at("publisher.pem")});
    run(openssl, {"pkey", "-in", at("publisher.pem"), "-pubout", "-outform", "DER", "-out",
                  at("publisher.der")});
    publisherKey_ = readFile(dir_ / "publisher.der").substr(12); // after the DER prefix

    process_ = std::make_unique<ChildProcess>(
        python, std::vector<std::string>{VELK_TEST_HTTPS_SERVER, root_.native(), at("server.pem"),
                                         at("server.key"), at("port")});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(dir_ / "port")) {
        if (std::chrono::steady_clock::now() > deadline || !process_->isRunning()) {
            throw std::runtime_error("the test HTTPS server did not start");
        }
        std::this_thread::sleep_for(10ms);
    }
    origin_ = "https://127.0.0.1:" + readFile(dir_ / "port");
}

std::string HttpsTestServer::publish(std::string_view bytes) {
    const std::string name = "file-" + std::to_string(++published_);
    writeFile(root_ / name, bytes);
    return origin_ + "/" + name;
}

std::string HttpsTestServer::sign(std::string_view bytes) {
    writeFile(dir_ / "message", bytes);
    run(openssl, {"pkeyutl", "-sign", "-rawin", "-inkey", (dir_ / "publisher.pem").native(), "-in",
                  (dir_ / "message").native(), "-out", (dir_ / "signature").native()});
    return readFile(dir_ / "signature");
}

std::string HttpsTestServer::requests() const {
    return fs::exists(root_ / "requests.log") ? readFile(root_ / "requests.log") : "";
}

} // namespace velk::test
