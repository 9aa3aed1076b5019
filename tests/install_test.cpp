// The installed package as another project sees it: the exact installed tree, the library's
// soname and the tools' run path, a CMake project using find_package(sealcore) and the
// build-time sealing function, a program built with pkg-config's flags from a moved copy of the
// tree, the manual pages, and the Debian package.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace {

namespace fs = std::filesystem;
using test_support::ProcessResult;
using test_support::read_file;
using test_support::run_process;
using test_support::TempDir;
using test_support::write_file;

const std::string kVersion = PROJECT_VERSION;
const std::string kBinDir = INSTALL_BINDIR;
const std::string kLibDir = INSTALL_LIBDIR;
const std::string kIncludeDir = INSTALL_INCLUDEDIR;
const std::string kManDir = INSTALL_MANDIR;
// Where the Python package is installed; empty when it is not built.
const std::string kPythonDir = PYTHON_INSTALL_DIR;
const std::string kPayload = std::string(CONSUMER_DIR) + "/data/payload.txt";

std::string Describe(const std::vector<std::string>& argv, const ProcessResult& r) {
    std::string command;
    for (const std::string& a : argv) {
        command += a + ' ';
    }
    return command + "\nstatus " + std::to_string(r.status) + "\n--- stdout\n" + r.out +
           "\n--- stderr\n" + r.err;
}

// Runs a program that must succeed, with LD_LIBRARY_PATH removed so that only run paths and
// the system's library directories can lead to libsealcore.
ProcessResult MustRun(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/env", "-u", "LD_LIBRARY_PATH"});
    ProcessResult r = run_process(argv);
    EXPECT_EQ(r.status, 0) << Describe(argv, r);
    return r;
}

// Every file and symbolic link below `root`, as paths relative to it.
std::set<std::string> TreeOf(const std::string& root) {
    std::set<std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_directory() || e.is_symlink()) {
            entries.insert(e.path().lexically_relative(root).string());
        }
    }
    return entries;
}

// What the install and the Debian package must hold, relative to the prefix, and nothing more.
std::set<std::string> ExpectedTree() {
    const std::string major = kVersion.substr(0, kVersion.find('.'));
    const std::string cmake_dir = kLibDir + "/cmake/sealcore/";
    std::set<std::string> expected = {
        kBinDir + "/sealpack",
        kBinDir + "/textveil",
        kLibDir + "/libsealcore.so",
        kLibDir + "/libsealcore.so." + major,
        kLibDir + "/libsealcore.so." + kVersion,
        kLibDir + "/veilcodec.o",
        kIncludeDir + "/textveil/vk_codec.h",
        kIncludeDir + "/textveil/veil.h",
        kIncludeDir + "/textveil/internal/pair_group.h",
        cmake_dir + "sealcore-config.cmake",
        cmake_dir + "sealcore-config-version.cmake",
        cmake_dir + "sealcore-targets.cmake",
        cmake_dir + "sealcore-targets-" + INSTALL_CONFIG + ".cmake",
        cmake_dir + "SealcoreSeal.cmake",
        cmake_dir + "SealcoreSealData.cmake",
        kLibDir + "/pkgconfig/sealcore.pc",
        kManDir + "/man1/sealpack.1",
        kManDir + "/man1/textveil.1",
    };
    for (const char* unit : {"aes256_base", "s_box", "aes256", "aes256_prng", "aes256_gcm",
                             "sha256", "base64", "str_confuse", "encrypt_api", "encrypt_wrapper",
                             "file_helper", "unseal", "sealed_reader", "seal", "sealcore_c"}) {
        expected.insert(kIncludeDir + "/sealcore/" + unit + ".h");
    }
    if (!kPythonDir.empty()) {
        for (const char* module : {"__init__.py", "_native.py", "_location.py"}) {
            expected.insert(kPythonDir + "/sealcore/" + module);
        }
    }
    return expected;
}

// One install of the build tree per test program, shared by its tests.
class InstalledPackage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_root = new TempDir();
        s_prefix = s_root->file("prefix");
        MustRun({CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", s_prefix});
    }
    static void TearDownTestSuite() {
        delete s_root;
        s_root = nullptr;
    }

    static std::string Installed(const std::string& relative) { return s_prefix + "/" + relative; }

    static TempDir* s_root;
    static std::string s_prefix;
};

TempDir* InstalledPackage::s_root = nullptr;
std::string InstalledPackage::s_prefix;

TEST_F(InstalledPackage, HoldsExactlyTheShippedFiles) {
    EXPECT_EQ(TreeOf(s_prefix), ExpectedTree());

    // Programs link the unversioned name and run against the soname link.
    const std::string major = kVersion.substr(0, kVersion.find('.'));
    EXPECT_EQ(fs::read_symlink(Installed(kLibDir + "/libsealcore.so")).string(),
              "libsealcore.so." + major);
    EXPECT_EQ(fs::read_symlink(Installed(kLibDir + "/libsealcore.so." + major)).string(),
              "libsealcore.so." + kVersion);
}

TEST_F(InstalledPackage, LibraryAndToolsResolveWithoutLibraryPath) {
    const std::string major = kVersion.substr(0, kVersion.find('.'));
    ProcessResult library =
        MustRun({READELF, "-d", Installed(kLibDir + "/libsealcore.so." + kVersion)});
    EXPECT_NE(library.out.find("Library soname: [libsealcore.so." + major + "]"), std::string::npos)
        << library.out;

    // A run path relative to the tool keeps the tree movable.
    ProcessResult sealpack = MustRun({READELF, "-d", Installed(kBinDir + "/sealpack")});
    EXPECT_NE(sealpack.out.find("[$ORIGIN/../" + kLibDir + "]"), std::string::npos) << sealpack.out;
    EXPECT_EQ(sealpack.out.find(BUILD_DIR), std::string::npos)
        << "the installed tool still points into the build tree:\n"
        << sealpack.out;

    ProcessResult textveil = MustRun({READELF, "-d", Installed(kBinDir + "/textveil")});
    EXPECT_EQ(textveil.out.find("libsealcore"), std::string::npos) << textveil.out;
    EXPECT_EQ(textveil.out.find("path:"), std::string::npos) << textveil.out;

    // The installed sealpack loads the library and seals; the help alone would not need it to
    // work.
    TempDir work;
    MustRun({Installed(kBinDir + "/sealpack"), "-i", kPayload, "-o", work.file("sealed.h")});
    EXPECT_EQ(read_file(work.file("sealed.h")).rfind("// THIS IS AUTO GENERATE CODE", 0), 0u);
    ProcessResult veil = MustRun({Installed(kBinDir + "/textveil"), "-v"});
    EXPECT_EQ(veil.out, "version:v1.0\n");
}

// The options a tool's help text lists: "-x" words at the start of a line, after blanks.
std::vector<std::string> OptionsInHelp(const std::string& help) {
    std::vector<std::string> options;
    std::size_t line = 0;
    while (line < help.size()) {
        std::size_t start = help.find_first_not_of(" \t", line);
        if (start != std::string::npos && start + 2 < help.size() && help[start] == '-' &&
            std::isalpha(static_cast<unsigned char>(help[start + 1])) &&
            (help[start + 2] == ' ' || help[start + 2] == '\t')) {
            options.push_back(help.substr(start, 2));
        }
        std::size_t end = help.find('\n', line);
        line = end == std::string::npos ? help.size() : end + 1;
    }
    return options;
}

TEST_F(InstalledPackage, ManualPagesRenderAndDescribeEveryOption) {
    const struct {
        const char* tool;
        std::vector<std::string> help_args;
        std::size_t option_count;
    } pages[] = {
        {"sealpack", {}, 6},
        {"textveil", {"-h"}, 5},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page.tool);
        const std::string path = Installed(kManDir + "/man1/" + page.tool + ".1");
        ProcessResult rendered = MustRun({GROFF, "-man", "-ww", "-z", path});
        EXPECT_EQ(rendered.err, "") << "groff warns about " << path;

        std::vector<std::string> help_argv = {Installed(kBinDir + "/" + page.tool)};
        help_argv.insert(help_argv.end(), page.help_args.begin(), page.help_args.end());
        std::vector<std::string> options = OptionsInHelp(MustRun(help_argv).out);
        EXPECT_EQ(options.size(), page.option_count);

        // Each option has an entry of its own: a paragraph tag line that starts with it.
        const std::string text = read_file(path);
        for (const std::string& option : options) {
            const std::string escaped = "\\" + option;
            const bool documented = text.find("\n.TP\n.BI " + escaped + " ") != std::string::npos ||
                                    text.find("\n.TP\n.B " + escaped + "\n") != std::string::npos;
            EXPECT_TRUE(documented) << option << " has no entry in " << path;
        }
    }
}

TEST_F(InstalledPackage, FindPackageConsumerSealsAtBuildTimeAndUnseals) {
    if (SANITIZED) {
        GTEST_SKIP() << "the consumer is built without sanitizers and cannot load an "
                        "instrumented library";
    }
    TempDir work;
    const std::string source = work.file("consumer");
    const std::string build = work.file("build");
    fs::copy(CONSUMER_DIR, source, fs::copy_options::recursive);

    ProcessResult configure =
        MustRun({CMAKE_COMMAND, "-S", source, "-B", build, "-G", CMAKE_GENERATOR,
                 "-DCMAKE_CXX_COMPILER=" CXX_COMPILER, "-DCMAKE_PREFIX_PATH=" + s_prefix});
    EXPECT_NE(configure.out.find("Using sealcore " + kVersion + " from " + s_prefix + "/" +
                                 kLibDir + "/cmake/sealcore"),
              std::string::npos)
        << configure.out;
    MustRun({CMAKE_COMMAND, "--build", build});
    ProcessResult first = MustRun({build + "/consumer"});
    EXPECT_NE(first.out.find("consumer: all checks passed"), std::string::npos) << first.out;

    // A changed input is sealed again by the next build; a stale header would differ from it.
    const std::string payload = source + "/data/payload.txt";
    write_file(payload, read_file(payload) + std::string("appended\0bytes\n", 15));
    MustRun({CMAKE_COMMAND, "--build", build});
    ProcessResult second = MustRun({build + "/consumer"});
    EXPECT_NE(second.out.find("consumer: all checks passed"), std::string::npos) << second.out;
    EXPECT_NE(first.out, second.out) << "the sizes shown should have grown";
}

TEST_F(InstalledPackage, PkgConfigConsumerBuildsFromAMovedTreeAndRuns) {
    if (SANITIZED) {
        GTEST_SKIP() << "the consumer is built without sanitizers and cannot load an "
                        "instrumented library";
    }
    // The tree keeps working after it is moved: the run paths and sealcore.pc are relative.
    TempDir work;
    const std::string moved = work.file("moved");
    fs::copy(s_prefix, moved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const std::string pc_path = "PKG_CONFIG_PATH=" + moved + "/" + kLibDir + "/pkgconfig";

    ProcessResult version =
        MustRun({"/usr/bin/env", pc_path, PKG_CONFIG, "--modversion", "sealcore"});
    EXPECT_EQ(version.out, kVersion + "\n");

    MustRun({moved + "/" + kBinDir + "/sealpack", "-i", kPayload, "-k",
             "\"quoted\" key? with 'marks' \\ ok!", "-o", work.file("payload_sealed.h")});
    const std::string compile =
        std::string(CXX_COMPILER) + " " + CONSUMER_DIR + "/pkg_config_app.cpp -I " + work.path() +
        " -o " + work.file("app") + " $(" + PKG_CONFIG + " --cflags --libs sealcore)";
    MustRun({"/usr/bin/env", pc_path, "/bin/sh", "-c", compile});

    ProcessResult app = MustRun({work.file("app"), kPayload});
    EXPECT_EQ(app.out, "pkg_config_app: " + std::to_string(read_file(kPayload).size()) +
                           " bytes unsealed, as the original\n");
    ProcessResult linked = MustRun({READELF, "-d", work.file("app")});
    EXPECT_NE(linked.out.find(moved), std::string::npos)
        << "the program should find libsealcore in the moved tree:\n"
        << linked.out;
}

#if PYTHON_TEST
TEST_F(InstalledPackage, PythonPackageLoadsTheLibraryOfItsMovedTree) {
    if (SANITIZED) {
        GTEST_SKIP() << "the interpreter cannot load a sanitized library";
    }
    TempDir work;
    const std::string moved = work.file("moved");
    fs::copy(s_prefix, moved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const std::string script =
        "import os, sys, sealcore\n"
        "print(os.path.realpath(sealcore._native.LIBRARY))\n"
        "key = sealcore.seal_file(sys.argv[1], sys.argv[2], '\"quoted\" key? with \\'marks\\' \\\\ "
        "ok!')\n"
        "with open(sys.argv[1], 'rb') as f, sealcore.open(sys.argv[2], key) as g:\n"
        "    assert f.read() == g.read()\n";
    ProcessResult run = MustRun({"/usr/bin/env", "PYTHONPATH=" + moved + "/" + kPythonDir,
                                 "PYTHONDONTWRITEBYTECODE=1", PYTHON, "-c", script, kPayload,
                                 work.file("payload.sealed")});
    EXPECT_EQ(run.out,
              fs::canonical(moved + "/" + kLibDir).string() + "/libsealcore.so." + kVersion + "\n");
}
#endif

TEST(DebianPackage, HoldsTheInstalledTreeUnderUsr) {
    TempDir work;
    MustRun({CPACK_COMMAND, "-G", "DEB", "--config", std::string(BUILD_DIR) + "/CPackConfig.cmake",
             "-B", work.path()});
    const std::string deb = work.file("sealcore_" + kVersion + "_" + DEB_ARCH + ".deb");
    ASSERT_TRUE(fs::exists(deb)) << "no " << deb;

    ProcessResult listing = MustRun({DPKG_DEB, "--contents", deb});
    std::set<std::string> packaged;
    std::size_t line = 0;
    while (line < listing.out.size()) {
        std::size_t end = listing.out.find('\n', line);
        std::string entry = listing.out.substr(line, end - line);
        line = end + 1;
        // "drwxr-xr-x root/root 0 2026-12-08 17:00 ./usr/lib/", links end in " -> target".
        if (entry.empty() || entry[0] == 'd') {
            continue;
        }
        entry = entry.substr(entry.find(" ./usr/") + 7);
        entry = entry.substr(0, entry.find(" -> "));
        packaged.insert(entry);
    }
    EXPECT_EQ(packaged, ExpectedTree());

    ProcessResult fields = MustRun({DPKG_DEB, "--field", deb, "Package", "Version", "Depends"});
    EXPECT_NE(fields.out.find("Package: sealcore\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Version: " + kVersion + "\n"), std::string::npos) << fields.out;
    for (const char* dependency : {"libc6", "libstdc++6"}) {
        EXPECT_NE(fields.out.find(dependency), std::string::npos) << fields.out;
    }
}

}  // namespace
