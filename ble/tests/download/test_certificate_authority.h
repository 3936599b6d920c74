// A throwaway certificate authority for the HTTPS tests: made with the
// openssl command in a scratch folder, trusted by nothing but the tests that
// name its certificate. Header-only, beside the loopback server it serves.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "loopback_http_server.h"

namespace quillon::test_support {

class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::filesystem::create_directories(folder_);
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj '/CN=Quillon test CA' -keyout " + quoted(folder_ / "ca.key") + " -out " + quoted(certificate()));
  }

  // The CA's certificate (PEM), for --cacert.
  std::filesystem::path certificate() const { return folder_ / "ca.pem"; }

  // A server certificate and key signed by this CA for `subject_alt_name`
  // ("IP:127.0.0.1", "DNS:other.invalid"), stored under `name`.
  LoopbackHttpServer::Tls issue(const std::string& name, const std::string& subject_alt_name) const {
    const auto key = folder_ / (name + ".key");
    const auto request = folder_ / (name + ".csr");
    const auto extensions = folder_ / (name + ".ext");
    const auto certificate_file = folder_ / (name + ".pem");
    std::ofstream(extensions) << "subjectAltName=" << subject_alt_name << "\nextendedKeyUsage=serverAuth\n";
    run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + name + "'" +
        " -keyout " + quoted(key) + " -out " + quoted(request));
    run("openssl x509 -req -days 2 -in " + quoted(request) + " -CA " + quoted(certificate()) + " -CAkey " +
        quoted(folder_ / "ca.key") + " -CAcreateserial -extfile " + quoted(extensions) + " -out " +
        quoted(certificate_file));
    return {certificate_file, key};
  }

 private:
  static std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

  void run(const std::string& command) const {
    const auto log = folder_ / "openssl.log";
    if (std::system((command + " >" + quoted(log) + " 2>&1").c_str()) != 0) {
      std::ifstream in(log);
      throw std::runtime_error(command + " failed: " +
                               std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
  }

  std::filesystem::path folder_;
};

}  // namespace quillon::test_support
