#ifndef TESTS_SUPPORT_RUN_PROCESS_H
#define TESTS_SUPPORT_RUN_PROCESS_H

#include <cstddef>
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
    // The names in the directory, sorted.
    std::vector<std::string> names() const;

  private:
    std::string m_path;
};

// A tmpfs of `bytes` bytes mounted on a fresh directory, for tests that fill a file system;
// unmounted on destruction. Mounting needs root (CAP_SYS_ADMIN): where it fails, mounted() is
// false and the tests skip.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(std::size_t bytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    std::vector<std::string> names() const { return m_dir.names(); }

  private:
    TempDir m_dir;
    bool m_mounted;
};

}  // namespace test_support

#endif
