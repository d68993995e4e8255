#include "testing/test_pki.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace hx::testing {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

// A time `offset` from now in the form openssl ca takes ("YYYYMMDDHHMMSSZ", UTC).
std::string CaTime(std::chrono::seconds offset) {
  const std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + offset);
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
  return text;
}

}  // namespace

bool RunTool(const std::vector<std::string>& arguments, std::string* output) {
  if (arguments.empty()) return false;
  TempDir scratch;
  const std::string log = scratch.File("output");
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0 ||
        dup2(in, STDIN_FILENO) < 0)
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  const bool exited = child > 0 && waitpid(child, &status, 0) == child;
  if (output != nullptr) *output = ReadFile(log);
  return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TestPki::TestPki(std::string openssl, std::string folder)
    : openssl_(std::move(openssl)), folder_(std::move(folder)), config_path_(folder_ + "/ca.cnf") {
  // One database for every issuer of this folder; random serial numbers keep roots apart.
  WriteFile(folder_ + "/index.txt", "");
  WriteFile(folder_ + "/index.txt.attr", "unique_subject = no\n");
  WriteFile(folder_ + "/serial", "1000\n");
  WriteFile(config_path_,
            "[ ca ]\n"
            "default_ca = test_ca\n"
            "[ test_ca ]\n"
            "database = " + folder_ + "/index.txt\n"
            "new_certs_dir = " + folder_ + "\n"
            "serial = " + folder_ + "/serial\n"
            "default_md = sha256\n"
            "policy = policy_any\n"
            "unique_subject = no\n"
            "[ policy_any ]\n"
            "commonName = supplied\n"
            "[ req ]\n"
            "distinguished_name = req_dn\n"
            "[ req_dn ]\n");
}

TestCert TestPki::MakeRoot(const std::string& common_name, const TestCertOptions& options) {
  return Make(nullptr, common_name, options, true);
}

TestCert TestPki::MakeIntermediate(const TestCert& issuer, const std::string& common_name,
                                   const TestCertOptions& options) {
  return Make(&issuer, common_name, options, true);
}

TestCert TestPki::MakeLeaf(const TestCert& issuer, const std::string& common_name,
                           const TestCertOptions& options) {
  return Make(&issuer, common_name, options, false);
}

TestCert TestPki::Make(const TestCert* issuer, const std::string& common_name,
                       const TestCertOptions& options, bool authority) {
  if (issuer != nullptr && !issuer->ok()) {
    ADD_FAILURE() << "no issuer for " << common_name;
    return TestCert();
  }
  const std::string base = folder_ + "/cert" + std::to_string(next_id_++);
  TestCert made;
  made.key_path = base + ".key";
  made.cert_path = base + ".pem";
  const std::string request = base + ".csr";
  const std::string extensions_path = base + ".ext";

  std::string extensions = "[ ext ]\nsubjectKeyIdentifier = hash\n";
  extensions += "authorityKeyIdentifier = keyid:always\n";
  extensions += authority ? "basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
                          : "basicConstraints = CA:FALSE\n";
  for (const std::string& line : options.extensions) extensions += line + "\n";
  if (!WriteFile(extensions_path, extensions)) {
    ADD_FAILURE() << "cannot write " << extensions_path;
    return TestCert();
  }

  std::vector<std::string> sign = {openssl_, "ca", "-batch", "-notext", "-preserveDN",
                                   "-rand_serial", "-config", config_path_, "-in", request,
                                   "-out", made.cert_path, "-extfile", extensions_path,
                                   "-extensions", "ext", "-startdate", CaTime(options.not_before),
                                   "-enddate", CaTime(options.not_after)};
  if (issuer == nullptr) {
    sign.insert(sign.end(), {"-selfsign", "-keyfile", made.key_path});
  } else {
    sign.insert(sign.end(), {"-cert", issuer->cert_path, "-keyfile", issuer->key_path});
  }
  const bool made_ok =
      Run({openssl_, "genpkey", "-algorithm", "RSA", "-pkeyopt",
           "rsa_keygen_bits:" + std::to_string(options.key_bits), "-out", made.key_path}) &&
      Run({openssl_, "req", "-new", "-config", config_path_, "-key", made.key_path, "-subj",
           "/CN=" + common_name + options.subject_extra, "-out", request}) &&
      Run(sign);
  if (!made_ok) return TestCert();
  made.cert_pem = ReadFile(made.cert_path);
  made.key_pem = ReadFile(made.key_path);
  return made;
}

std::string TestPki::MakeCrl(const TestCert& issuer, const std::vector<TestCert>& revoked) {
  const std::vector<std::string> as_issuer = {"-config", config_path_, "-cert", issuer.cert_path,
                                              "-keyfile", issuer.key_path};
  for (const TestCert& cert : revoked) {
    std::vector<std::string> revoke = {openssl_, "ca", "-revoke", cert.cert_path};
    revoke.insert(revoke.end(), as_issuer.begin(), as_issuer.end());
    if (!Run(revoke)) return "";
  }
  const std::string path = folder_ + "/crl" + std::to_string(next_id_++) + ".pem";
  std::vector<std::string> generate = {openssl_, "ca", "-gencrl", "-crldays", "1", "-out", path};
  generate.insert(generate.end(), as_issuer.begin(), as_issuer.end());
  return Run(generate) ? path : "";
}

bool TestPki::Run(const std::vector<std::string>& arguments) {
  std::string output;
  if (RunTool(arguments, &output)) return true;
  std::string command;
  for (const std::string& argument : arguments) command += argument + " ";
  ADD_FAILURE() << "failed: " << command << "\n" << output;
  return false;
}

}  // namespace hx::testing
