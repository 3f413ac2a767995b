// Fuzz target: a PE file as velsor-pack reads the ones users give it: an
// existing program or DLL as the entry (headers, exports, imports, icon and
// version), a --launcher file (records, relocations, certificate table,
// header room, then a packed executable written from it), and the runner
// inside a payload that list reads. Each reader must end normally or with a
// pack_error, the packer's one-line message. Any other exception (the byte
// buffers' out_of_range safety net, bad_alloc), a crash, a sanitizer report,
// a hang or a huge allocation is a finding.
#include <stdint.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "pack/checks/checks.h"
#include "pack/image/image.h"

using namespace velsor;

namespace {

void allowing_pack_errors(const std::function<void()> &read) {
    try {
        read();
    } catch (const pack_error &) {
    }
}

// A packed executable written from a launcher that passed its checks, with
// a resource of each kind velsor adds, the unpack modes when it has their
// record, and a small block.
void pack_with(const launcher_image &launcher) {
    static const std::filesystem::path out =
        std::filesystem::temp_directory_path() / ("velsor-fuzz-pe-" + std::to_string(getpid()) + ".exe");
    executable_options options;
    options.subsystem = pe_subsystem_console;
    options.resources.push_back(version_resource({1, 2, 3, 4}, version_strings{{}, {}, {}, {}, "a.exe", "a"}));
    if (launcher.mode_record_offset) {
        options.unpack = checked_unpack_mode(std::nullopt, true, "a");
    }
    executable_writer writer(launcher, out, options);
    writer.block_stream() << "QZV block bytes";
    writer.finish(15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const bytes file(data, data + size);
    pe_source source(file, "input.exe");
    pe_headers headers;
    try {
        headers = read_pe_headers(source);
    } catch (const pack_error &) {
        return 0;
    }
    allowing_pack_errors([&] { read_export_names(source, headers); });
    allowing_pack_errors([&] { read_imported_dlls(source, headers); });
    allowing_pack_errors([&] { read_program_resources(source, headers); });
    allowing_pack_errors([&] { read_resources(source, headers); });
    for (const auto &s : headers.sections) {
        allowing_pack_errors([&] { read_section(source, s); });
        allowing_pack_errors([&] { has_dir64_relocation(source, headers, s.virtual_address); });
    }
    allowing_pack_errors([&] { pack_with(load_launcher(file, "input.exe")); });
    allowing_pack_errors([&] {
        runner_image runner = load_runner(file, "input.dll");
        runner_program(runner_for_program(runner, u"bin\\tool.exe"));
    });
    runner_program(file);
    return 0;
}
