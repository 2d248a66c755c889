// Tests the platform layer, and the Python-free pieces built on it, without
// Python: the same program runs natively on POSIX and, cross-compiled, under
// Wine for Windows. Prints one line per failed case and a summary line.

#include "platform/image_listing.hpp"
#include "platform/platform.hpp"
#include "platform/staged_file.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace platform = pixelmend::platform;

using platform::NativePath;

#ifdef _WIN32
#define NATIVE(text) L##text
constexpr const char* system_name = "windows";
#else
#define NATIVE(text) text
constexpr const char* system_name = "posix";
#endif

namespace {

struct CheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            throw CheckFailed("line " + std::to_string(__LINE__) + ": " #condition);       \
        }                                                                                  \
    } while (false)

template <typename Call>
bool throws_system_error(Call&& call)
{
    try {
        call();
    } catch (const platform::SystemError&) {
        return true;
    }
    return false;
}

// A fresh directory per case, removed afterwards.
class Scratch {
public:
    explicit Scratch(const std::string& name)
        : root_(fs::temp_directory_path() / ("pixelmend-platform-" + name + "-" + std::to_string(counter()++)))
    {
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path operator/(const fs::path& name) const { return root_ / name; }
    NativePath native() const { return root_.native(); }

private:
    static int& counter()
    {
        static int count = 0;
        return count;
    }

    fs::path root_;
};

void write_file(const fs::path& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_at(const platform::File& file, std::size_t count, std::uint64_t offset)
{
    std::string buffer(count, '\0');
    const platform::ReadResult got = platform::read_at(file, buffer.data(), count, offset);
    CHECK(got.error == 0);
    buffer.resize(got.count);
    return buffer;
}

std::vector<NativePath> names_in(const Scratch& scratch)
{
    std::vector<NativePath> names = platform::list_directory(scratch.native());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<NativePath> listed_base_names(const NativePath& path)
{
    std::vector<NativePath> names;
    for (const pixelmend::ImageFile& file : pixelmend::list_image_files(path)) {
        names.push_back(file.base_name);
    }
    return names;
}

void reads_at_offsets()
{
    Scratch scratch("read");
    write_file(scratch / "data.bin", "0123456789");
    const platform::File file = platform::open_for_reading((scratch / "data.bin").native());
    CHECK(read_at(file, 4, 3) == "3456");
    CHECK(read_at(file, 2, 0) == "01");
    CHECK(read_at(file, 100, 8) == "89");
    CHECK(read_at(file, 4, 10).empty());
    CHECK(read_at(file, 4, 1000).empty());
}

void status_of_open_file_matches_listing()
{
    Scratch scratch("status");
    write_file(scratch / "photo.png", "12345");
    const auto listed = platform::status_at((scratch / "photo.png").native());
    CHECK(listed && listed->kind == platform::FileKind::regular);
    const platform::FileStatus opened = platform::status_of(platform::open_for_reading((scratch / "photo.png").native()));
    CHECK(opened.kind == platform::FileKind::regular);
    CHECK(opened.identity.size == 5);
    CHECK(opened.identity.device == listed->identity.device);
    CHECK(opened.identity.index == listed->identity.index);
    CHECK(platform::status_at(scratch.native())->kind == platform::FileKind::directory);
}

void status_at_names_nothing()
{
    Scratch scratch("nothing");
    write_file(scratch / "file.png", "x");
    CHECK(!platform::status_at((scratch / "missing.png").native()));
    CHECK(!platform::status_at((scratch / "missing" / "deeper.png").native()));
    CHECK(!platform::status_at((scratch / "file.png" / "below.png").native()));
    CHECK(throws_system_error([&] { platform::open_for_reading((scratch / "missing.png").native()); }));
    CHECK(throws_system_error([&] { platform::require_readable((scratch / "missing.png").native()); }));
    CHECK(throws_system_error([&] { platform::list_directory((scratch / "missing").native()); }));
}

void shrunk_file_is_noticed()
{
    Scratch scratch("shrink");
    write_file(scratch / "clip.mp4", std::string(4096, 'v'));
    const auto listed = platform::status_at((scratch / "clip.mp4").native());
    CHECK(listed && listed->identity.size == 4096);
    fs::resize_file(scratch / "clip.mp4", 100);
    const platform::File file = platform::open_for_reading((scratch / "clip.mp4").native());
    const platform::FileStatus now = platform::status_of(file);
    CHECK(now.identity.index == listed->identity.index);
    CHECK(now.identity.size == 100);
    CHECK(read_at(file, 50, 80).size() == 20);
    CHECK(read_at(file, 50, 100).empty());
}

void shrinking_while_open_is_noticed()
{
    Scratch scratch("shrink-open");
    write_file(scratch / "clip.mp4", std::string(4096, 'v'));
    const platform::File file = platform::open_for_reading((scratch / "clip.mp4").native());
    CHECK(read_at(file, 10, 0).size() == 10);
    fs::resize_file(scratch / "clip.mp4", 10);
    CHECK(read_at(file, 10, 10).empty());
    CHECK(platform::status_of(file).identity.size == 10);
}

void replaced_file_is_noticed()
{
    Scratch scratch("replace");
    write_file(scratch / "photo.jpg", "first");
    const auto listed = platform::status_at((scratch / "photo.jpg").native());
    write_file(scratch / "other.jpg", "second");
    platform::replace_file((scratch / "other.jpg").native(), (scratch / "photo.jpg").native());
    const platform::FileStatus now = platform::status_of(platform::open_for_reading((scratch / "photo.jpg").native()));
    CHECK(listed);
    CHECK(now.identity.index != listed->identity.index || now.identity.device != listed->identity.device);
    CHECK(read_file(scratch / "photo.jpg") == "second");
    CHECK(!fs::exists(scratch / "other.jpg"));
}

void listing_is_sorted_and_filtered()
{
    Scratch scratch("listing");
    for (const char* name : {"b.png", "A.JPG", "a.jpeg", ".hidden.png", "notes.txt", "noextension", "c.WebP", "d.mkv"}) {
        write_file(scratch / name, "x");
    }
    fs::create_directories(scratch / "folder.png");
    const std::vector<NativePath> expected = {NATIVE("A.JPG"), NATIVE("a.jpeg"), NATIVE("b.png"), NATIVE("c.WebP"),
                                              NATIVE("d.mkv")};
    CHECK(listed_base_names(scratch.native()) == expected);
    const auto files = pixelmend::list_image_files(scratch.native());
    CHECK(files.front().path == (scratch / "A.JPG").native());
    CHECK(files.front().identity.size == 1);
}

void listing_a_single_file_or_nothing()
{
    Scratch scratch("single");
    write_file(scratch / "notes.txt", "text");
    const auto files = pixelmend::list_image_files((scratch / "notes.txt").native());
    CHECK(files.size() == 1);
    CHECK(files.front().base_name == NATIVE("notes.txt"));
    CHECK(files.front().identity.size == 4);
    CHECK(pixelmend::list_image_files((scratch / "missing.png").native()).empty());
    CHECK(pixelmend::list_image_files(scratch.native()).empty());
    CHECK(platform::list_directory(scratch.native()) == std::vector<NativePath>{NATIVE("notes.txt")});
}

void non_ascii_names()
{
    Scratch scratch("unicode");
    const NativePath names[] = {NATIVE("z.png"), NATIVE("\u00e9t\u00e9.png"), NATIVE("\u65e5\u672c.jpg"),
                                NATIVE("\uff5e.png"), NATIVE("\U0001F600.png")};
    for (const NativePath& name : names) {
        auto created = platform::create_new_file(platform::joined(scratch.native(), name));
        CHECK(created);
        platform::write_all(*created, "abc", 3, name);
        platform::close_file(*created, name);
    }
    // Code point order, as Python sorts the names.
    CHECK(listed_base_names(scratch.native()) == std::vector<NativePath>(std::begin(names), std::end(names)));
    const NativePath path = platform::joined(scratch.native(), names[2]);
    CHECK(platform::base_name(path) == names[2]);
    CHECK(read_at(platform::open_for_reading(path), 3, 0) == "abc");
    CHECK(fs::exists(scratch / fs::path(names[4])));
}

void paths_are_joined_and_split()
{
    CHECK(platform::joined(NATIVE("dir"), NATIVE("name")) == fs::path(NATIVE("dir/name")).make_preferred().native());
    CHECK(platform::joined(NATIVE("dir/"), NATIVE("name")) == NATIVE("dir/name"));
    CHECK(platform::base_name(NATIVE("a/b/c.png")) == NATIVE("c.png"));
    CHECK(platform::base_name(NATIVE("c.png")) == NATIVE("c.png"));
    CHECK(platform::base_name(NATIVE("dir/")).empty());
#ifdef _WIN32
    CHECK(platform::base_name(L"a\\b\\c.png") == L"c.png");
    CHECK(platform::base_name(L"C:c.png") == L"c.png");
    CHECK(platform::joined(L"C:", L"c.png") == L"C:c.png");
#endif
}

void created_file_is_exclusive()
{
    Scratch scratch("exclusive");
    write_file(scratch / "taken.png", "earlier");
    CHECK(!platform::create_new_file((scratch / "taken.png").native()));
    CHECK(read_file(scratch / "taken.png") == "earlier");
    CHECK(throws_system_error([&] { platform::create_new_file((scratch / "missing" / "x.png").native()); }));
    platform::remove_file((scratch / "taken.png").native());
    CHECK(!fs::exists(scratch / "taken.png"));
}

void staged_file_replaces_only_when_committed()
{
    Scratch scratch("commit");
    write_file(scratch / "result.png", "earlier");
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.write("new ", 4);
        staged.write("bytes", 5);
        CHECK(read_file(scratch / "result.png") == "earlier");
        staged.commit((scratch / "result.png").native());
    }
    CHECK(read_file(scratch / "result.png") == "new bytes");
    CHECK(names_in(scratch) == std::vector<NativePath>{NATIVE("result.png")});
}

void abandoned_staged_file_is_removed()
{
    Scratch scratch("abandon");
    write_file(scratch / "result.png", "earlier");
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.write("partial", 7);
        CHECK(platform::base_name(staged.temporary_path()).front() == '.');
        CHECK(names_in(scratch).size() == 2);
    }
    CHECK(read_file(scratch / "result.png") == "earlier");
    CHECK(names_in(scratch) == std::vector<NativePath>{NATIVE("result.png")});
}

void failed_replace_keeps_earlier_file_and_removes_temporary()
{
    Scratch scratch("failed-replace");
    fs::create_directories(scratch / "result.png");
    write_file(scratch / "result.png" / "inside", "earlier");
    bool failed = false;
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.write("new", 3);
        try {
            staged.commit((scratch / "result.png").native());
        } catch (const platform::SystemError& error) {
            failed = error.path() == (scratch / "result.png").native();
        }
    }
    CHECK(failed);
    CHECK(read_file(scratch / "result.png" / "inside") == "earlier");
    CHECK(names_in(scratch) == std::vector<NativePath>{NATIVE("result.png")});
}

void cleared_staged_file_is_written_anew()
{
    Scratch scratch("cleared");
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.write("a first body that is cut", 24);
        staged.clear();
        staged.write("new", 3);
        staged.commit((scratch / "result.png").native());
    }
    CHECK(read_file(scratch / "result.png") == "new");
}

void staged_file_in_missing_directory_fails()
{
    Scratch scratch("missing-dir");
    CHECK(throws_system_error([&] { pixelmend::StagedFile staged((scratch / "missing").native()); }));
    CHECK(names_in(scratch).empty());
}

#ifndef _WIN32
void staged_file_has_the_mode_open_gives()
{
    Scratch scratch("mode");
    const mode_t mask = umask(022);
    umask(mask);
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.commit((scratch / "result.png").native());
    }
    struct stat status {};
    CHECK(stat((scratch / "result.png").c_str(), &status) == 0);
    CHECK((status.st_mode & 0777) == (0666 & ~mask));
}

void symbolic_link_at_final_name_is_replaced_not_followed()
{
    Scratch scratch("symlink");
    write_file(scratch / "target.png", "target");
    fs::create_symlink(scratch / "target.png", scratch / "result.png");
    {
        pixelmend::StagedFile staged(scratch.native());
        staged.write("new", 3);
        staged.commit((scratch / "result.png").native());
    }
    CHECK(!fs::is_symlink(scratch / "result.png"));
    CHECK(read_file(scratch / "result.png") == "new");
    CHECK(read_file(scratch / "target.png") == "target");
}
#endif

void special_file_names_on_windows_only()
{
    const std::u32string_view special[] = {U"CON", U"con", U"Nul.txt", U"aux.tar.gz", U"PRN .png", U"COM1", U"lpt9.log",
                                           U"COM\u00b9", U"conin$", U"CONOUT$.x", U"name.", U"name ", U"...",
                                           U"q?x.png", U"*.png", U"a<b", U"a>b", U"a|b", U"a\"b", U"tab\there"};
    const std::u32string_view plain[] = {U"CONSOLE", U"COM10", U"COM0", U"LPT", U"nul_x.png", U"a.con", U".hidden", U"a b.png"};
#ifdef _WIN32
    constexpr bool on_windows = true;
#else
    constexpr bool on_windows = false;
#endif
    for (std::u32string_view name : special) {
        CHECK(platform::is_special_file_name(name) == on_windows);
    }
    for (std::u32string_view name : plain) {
        CHECK(!platform::is_special_file_name(name));
    }
}

struct Case {
    const char* name;
    void (*run)();
};

const Case cases[] = {
    {"a cleared staged file is written anew from its start", cleared_staged_file_is_written_anew},
    {"reads at offsets", reads_at_offsets},
    {"status of an open file matches the listing", status_of_open_file_matches_listing},
    {"status of a path that names nothing", status_at_names_nothing},
    {"a shrunk file is noticed", shrunk_file_is_noticed},
    {"a file shrinking while open is noticed", shrinking_while_open_is_noticed},
    {"a replaced file is noticed", replaced_file_is_noticed},
    {"listing is sorted and filtered", listing_is_sorted_and_filtered},
    {"listing a single file or nothing", listing_a_single_file_or_nothing},
    {"non-ASCII names", non_ascii_names},
    {"paths are joined and split", paths_are_joined_and_split},
    {"device names and trailing dots or spaces are special on Windows only", special_file_names_on_windows_only},
    {"created files are exclusive", created_file_is_exclusive},
    {"a staged file replaces only when committed", staged_file_replaces_only_when_committed},
    {"an abandoned staged file is removed", abandoned_staged_file_is_removed},
    {"a failed replace keeps the earlier file and removes the temporary", failed_replace_keeps_earlier_file_and_removes_temporary},
    {"a staged file in a missing directory fails", staged_file_in_missing_directory_fails},
#ifndef _WIN32
    {"a staged file has the mode open() gives", staged_file_has_the_mode_open_gives},
    {"a symbolic link at the final name is replaced, not followed", symbolic_link_at_final_name_is_replaced_not_followed},
#endif
};

}

int main()
{
    int passed = 0;
    int failed = 0;
    for (const Case& test : cases) {
        try {
            test.run();
            ++passed;
        } catch (const std::exception& error) {
            std::printf("FAILED %s: %s\n", test.name, error.what());
            ++failed;
        }
    }
    std::printf("%s: %d passed, %d failed\n", system_name, passed, failed);
    return failed == 0 ? 0 : 1;
}
