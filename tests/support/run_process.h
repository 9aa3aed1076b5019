#ifndef TESTS_SUPPORT_RUN_PROCESS_H
#define TESTS_SUPPORT_RUN_PROCESS_H

#include <string>
#include <vector>

namespace test_support {

// What a finished child process left behind.
struct ProcessResult {
    int status = -1;  // exit status 0..255, or -1 when the child did not exit normally
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Runs argv[0] with the given arguments (no shell), feeds `input` to its standard input,
// and collects both output streams until the child exits.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& input = "");

// Reads a whole file as bytes; an unreadable file gives an empty string.
std::string read_file(const std::string& path);

// Writes bytes to a file, replacing it.
void write_file(const std::string& path, const std::string& bytes);

// A fresh directory under the system's temporary folder, removed with its files on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

}  // namespace test_support

#endif
