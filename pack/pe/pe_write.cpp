// The writer: images in memory changed through their model, and packed
// images laid out after an image's own sections and written to a file. The
// headers are written from the model, here and nowhere else.
#include <algorithm>
#include <array>

#include "pack/pe/pe.h"

namespace fs = std::filesystem;

namespace velsor {

namespace {

// Offsets in the COFF header (after "PE\0\0") and in the PE32+ optional header.
constexpr size_t coff_machine = 0;
constexpr size_t coff_section_count = 2;
constexpr size_t coff_characteristics = 18;
constexpr size_t optional_size_of_initialized_data = 8;
constexpr size_t optional_image_base = 24;
constexpr size_t optional_section_alignment = 32;
constexpr size_t optional_file_alignment = 36;
constexpr size_t optional_size_of_image = 56;
constexpr size_t optional_size_of_headers = 60;
constexpr size_t optional_checksum = 64;
constexpr size_t optional_subsystem = 68;
constexpr size_t optional_dll_characteristics = 70;
constexpr size_t optional_directories = 112;
constexpr size_t copy_chunk = 1 << 20;

std::uint64_t section_table_end(const pe_headers &h) {
    return std::uint64_t{h.section_table_offset} + h.sections.size() * pe_section_header_size;
}

std::uint64_t checksum_offset(const pe_headers &h) { return std::uint64_t{h.optional_offset} + optional_checksum; }

// The model's fields written into `prefix`, the file's first bytes up to the
// end of the section table; whatever the model does not hold stays as it is.
void store_headers(bytes &prefix, const pe_headers &h) {
    if (h.optional_magic != pe_magic_pe32_plus || prefix.size() < section_table_end(h)) {
        throw pack_error("only the headers of a PE32+ image can be written");
    }
    const size_t coff = h.coff_offset, optional = h.optional_offset;
    store_u16(prefix, coff + coff_machine, h.machine);
    store_u16(prefix, coff + coff_section_count, static_cast<std::uint16_t>(h.sections.size()));
    store_u16(prefix, coff + coff_characteristics, h.characteristics);
    store_u32(prefix, optional + optional_size_of_initialized_data, h.size_of_initialized_data);
    store_u64(prefix, optional + optional_image_base, h.image_base);
    store_u32(prefix, optional + optional_section_alignment, h.section_alignment);
    store_u32(prefix, optional + optional_file_alignment, h.file_alignment);
    store_u32(prefix, optional + optional_size_of_image, h.size_of_image);
    store_u32(prefix, optional + optional_size_of_headers, h.size_of_headers);
    store_u32(prefix, optional + optional_checksum, h.checksum);
    store_u16(prefix, optional + optional_subsystem, h.subsystem);
    store_u16(prefix, optional + optional_dll_characteristics, h.dll_characteristics);
    for (size_t i = 0; i < h.directories.size(); i++) {
        store_u32(prefix, optional + optional_directories + 8 * i, h.directories[i].rva);
        store_u32(prefix, optional + optional_directories + 8 * i + 4, h.directories[i].size);
    }
    for (size_t i = 0; i < h.sections.size(); i++) {
        const pe_section &s = h.sections[i];
        size_t at = h.section_table_offset + i * pe_section_header_size;
        std::copy(s.name_field.begin(), s.name_field.end(), prefix.begin() + static_cast<std::ptrdiff_t>(at));
        store_u32(prefix, at + 8, s.virtual_size);
        store_u32(prefix, at + 12, s.virtual_address);
        store_u32(prefix, at + 16, s.raw_size);
        store_u32(prefix, at + 20, s.raw_offset);
        store_u32(prefix, at + 36, s.characteristics);
    }
}

// PE checksum of a file's bytes: 16-bit one's-complement sum of its words
// with the checksum field counted as zero, plus the file's length.
class pe_checksum {
public:
    explicit pe_checksum(std::uint64_t field) : field_(field) {}

    void add(const unsigned char *data, size_t size) {  // the file's bytes, in order
        for (size_t i = 0; i < size; i++, position_++) {
            if (position_ - field_ < 4) {
                continue;  // the checksum field itself counts as zero
            }
            sum_ += std::uint64_t{data[i]} << (8 * (position_ & 1));
        }
    }

    std::uint32_t value() const {
        std::uint64_t sum = sum_;
        while (sum > 0xFFFF) {
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        return static_cast<std::uint32_t>(sum + position_);
    }

private:
    std::uint64_t field_;
    std::uint64_t position_ = 0;
    std::uint64_t sum_ = 0;
};

pe_section new_section(const std::string &name) {
    pe_section s;
    s.name = name.substr(0, s.name_field.size());
    std::copy(s.name.begin(), s.name.end(), s.name_field.begin());
    s.characteristics = pe_read_only_data;
    return s;
}

void write_zeros(std::ostream &out, std::uint64_t count) {
    static const std::array<char, 4096> zeros{};
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<std::uint64_t>(count, zeros.size()));
        out.write(zeros.data(), static_cast<std::streamsize>(n));
        count -= n;
    }
}

void write_at(std::fstream &out, std::uint64_t offset, const bytes &data) {
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace

/*-**** Images in memory ****/

pe_image load_pe_image(bytes file, std::string origin) {
    pe_image image{std::move(origin), std::move(file), {}};
    image.headers = parse_pe_headers(image.file, image.origin);
    return image;
}

bool drop_certificate_table(pe_image &image) {
    if (image.headers.directories.size() <= pe_directory_security) {
        return true;
    }
    pe_directory &security = image.headers.directories[pe_directory_security];
    if (security.size == 0) {
        return true;
    }
    if (std::uint64_t{security.rva} + security.size != image.file.size()) {
        return false;
    }
    image.file.resize(security.rva);
    image.headers.file_size = image.file.size();
    security = pe_directory{};
    return true;
}

bool has_section_header_room(const pe_image &image, size_t count) {
    const pe_headers &h = image.headers;
    std::uint64_t limit = h.size_of_headers;
    for (const auto &s : h.sections) {
        limit = std::min<std::uint64_t>(limit, s.virtual_address);
        if (s.raw_size != 0) {
            limit = std::min<std::uint64_t>(limit, s.raw_offset);
        }
    }
    std::uint64_t from = section_table_end(h);
    std::uint64_t to = from + count * pe_section_header_size;
    return to <= limit && to <= image.file.size() &&
           std::all_of(image.file.begin() + static_cast<std::ptrdiff_t>(from),
                       image.file.begin() + static_cast<std::ptrdiff_t>(to), [](unsigned char b) { return b == 0; });
}

void patch_image(pe_image &image, std::uint64_t offset, const bytes &data) {
    if (!file_offset_to_rva(image.headers, offset) || offset > image.file.size() ||
        data.size() > image.file.size() - offset) {
        throw pack_error(image.origin + ": a record lies outside the sections in the file");
    }
    std::copy(data.begin(), data.end(), image.file.begin() + static_cast<std::ptrdiff_t>(offset));
}

bytes write_pe_image(const pe_image &image) {
    bytes file = image.file;
    store_headers(file, image.headers);
    pe_checksum sum(checksum_offset(image.headers));
    sum.add(file.data(), file.size());
    store_u32(file, checksum_offset(image.headers), sum.value());
    return file;
}

void rename_section(pe_headers &headers, size_t index, const std::string &name) {
    pe_section renamed = new_section(name);
    headers.sections.at(index).name = renamed.name;
    headers.sections.at(index).name_field = renamed.name_field;
}

/*-**** Packed images in a file ****/

pe_writer::pe_writer(const pe_image &image, const fs::path &out) : image_(image), model_(image.headers), path_(out) {}

std::uint32_t pe_writer::next_section_rva() const {
    return static_cast<std::uint32_t>(align_up(model_.size_of_image, model_.section_alignment));
}

void pe_writer::add_section(const std::string &name, bytes contents) {
    const pe_section &s = add_streamed_section(name);
    std::uint32_t rva = s.virtual_address;
    model_.sections.back().virtual_size = static_cast<std::uint32_t>(contents.size());
    model_.sections.back().raw_size = static_cast<std::uint32_t>(align_up(contents.size(), model_.file_alignment));
    model_.size_of_image = static_cast<std::uint32_t>(rva + align_up(contents.size(), model_.section_alignment));
    model_.size_of_initialized_data += model_.sections.back().raw_size;
    added_.emplace_back(s.raw_offset, std::move(contents));
}

const pe_section &pe_writer::add_streamed_section(const std::string &name) {
    std::uint64_t data_end = added_.empty() ? image_.file.size() : added_.back().first + added_.back().second.size();
    pe_section s = new_section(name);
    s.virtual_address = next_section_rva();
    s.raw_offset = static_cast<std::uint32_t>(align_up(data_end, model_.file_alignment));
    model_.sections.push_back(s);
    return model_.sections.back();
}

std::iostream &pe_writer::write_sections() {
    out_.open(path_, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(path_));
    }
    out_.write(reinterpret_cast<const char *>(image_.file.data()), static_cast<std::streamsize>(image_.file.size()));
    for (const auto &[offset, contents] : added_) {
        write_zeros(out_, offset - static_cast<std::uint64_t>(out_.tellp()));
        out_.write(reinterpret_cast<const char *>(contents.data()), static_cast<std::streamsize>(contents.size()));
    }
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(path_));
    }
    write_zeros(out_, model_.sections.back().raw_offset - static_cast<std::uint64_t>(out_.tellp()));
    return out_;
}

void pe_writer::patch(std::uint64_t offset, bytes data) { patches_.emplace_back(offset, std::move(data)); }

void pe_writer::finish(std::uint64_t streamed_size) {
    pe_section &streamed = model_.sections.back();
    streamed.virtual_size = static_cast<std::uint32_t>(streamed_size);
    streamed.raw_size = static_cast<std::uint32_t>(align_up(streamed_size, model_.file_alignment));
    model_.size_of_image = static_cast<std::uint32_t>(streamed.virtual_address +
                                                      align_up(streamed_size, model_.section_alignment));
    model_.size_of_initialized_data += streamed.raw_size;
    model_.checksum = 0;
    out_.seekp(static_cast<std::streamoff>(streamed.raw_offset + streamed_size));
    write_zeros(out_, streamed.raw_size - streamed_size);

    bytes headers(image_.file.begin(), image_.file.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                                                   section_table_end(model_), image_.file.size())));
    store_headers(headers, model_);
    write_at(out_, 0, headers);
    for (const auto &[offset, data] : patches_) {
        write_at(out_, offset, data);
    }
    // The checksum covers the whole file as written, so it is computed last,
    // from the file itself.
    out_.flush();
    out_.seekg(0);
    pe_checksum sum(checksum_offset(model_));
    std::vector<unsigned char> chunk(copy_chunk);
    while (out_.read(reinterpret_cast<char *>(chunk.data()), static_cast<std::streamsize>(chunk.size())) ||
           out_.gcount() > 0) {
        sum.add(chunk.data(), static_cast<size_t>(out_.gcount()));
    }
    out_.clear();
    bytes value(4);
    store_u32(value, 0, sum.value());
    write_at(out_, checksum_offset(model_), value);
    out_.close();
    if (!out_) {
        throw pack_error("cannot write " + path_utf8(path_));
    }
}

}  // namespace velsor
