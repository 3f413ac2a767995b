// The runner DLL that starts an existing program: checked, filled in with
// the program's path, and read back from a payload.
#include "pack/image/image.h"
#include "pack/image/records.h"

namespace velsor {

runner_image load_runner(bytes file, std::string origin) {
    runner_image r;
    r.image = load_pe_image(std::move(file), std::move(origin));
    auto refuse = [&](const std::string &why) {
        throw pack_error(r.image.origin + " cannot be used as the runner: " + why);
    };
    const pe_headers &h = r.image.headers;
    if (h.machine != pe_machine_amd64 || h.optional_magic != pe_magic_pe32_plus ||
        (h.characteristics & pe_characteristic_dll) == 0) {
        refuse("it is not a 64-bit (x86-64) DLL");
    }
    auto found = find_records(r.image.file, h, program_record);
    if (found.size() != 1) {
        refuse("it has " + std::to_string(found.size()) + " program records, not one");
    }
    r.record_offset = found.front();
    if (r.record_offset + program_record_size > r.image.file.size()) {
        refuse("its program record is cut short");
    }
    if (!record_unfilled(r.image.file, r.record_offset + program_record_path_offset, 2 * program_record_path_units)) {
        refuse("its program record is already filled in");
    }
    return r;
}

bytes runner_for_program(const runner_image &runner, const std::u16string &program) {
    if (program.empty() || program.size() > payload_name_max_units) {
        throw pack_error("the program's path does not fit the runner's record");
    }
    pe_image filled = runner.image;
    bytes path;
    for (char16_t unit : program) {
        append_le(path, unit, 2);
    }
    patch_image(filled, runner.record_offset + program_record_path_offset, path);
    return write_pe_image(filled);
}

archive_entry runner_entry(const runner_image &runner, const std::u16string &program) {
    archive_entry e;
    e.name = runner_entry_name;
    e.contents = runner_for_program(runner, program);
    e.size = e.contents->size();
    return e;
}

std::optional<std::u16string> runner_program(const bytes &runner) {
    auto record = first_record(runner, program_record);
    if (!record) {
        return std::nullopt;
    }
    return record_text(runner, *record + program_record_path_offset, program_record_path_units);
}

}  // namespace velsor
