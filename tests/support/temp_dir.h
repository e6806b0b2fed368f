// A scratch folder per test, removed with everything in it at scope exit.
#ifndef QEL_TESTS_SUPPORT_TEMP_DIR_H
#define QEL_TESTS_SUPPORT_TEMP_DIR_H

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace qel_test {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/qel_test_XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = templ;
  }
  ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // Writes content (bytes as given) to a file in the folder; returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    std::string file = m_path + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    return file;
  }
  static std::string Read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string m_path;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_TEMP_DIR_H
