// The stand-in's world and its calls (see console_standin.h). It behaves as
// the platform does where console.cpp can tell: _open_osfhandle wraps the
// handle itself and _close closes it; _dup2 puts a duplicate of the source's
// handle on the target descriptor, closing what was there; freopen closes
// the stream's old descriptor and, when it fails, leaves the stream without
// one (-1); new descriptors are the lowest free number from 3 up; console
// calls on a closed handle fail.
#include "tests/console/console_standin.h"

#include <cstdarg>
#include <cstring>
#include <map>

namespace {

enum class kind { other, nul, console_output, console_input };

struct object {
    std::string name;
    kind what;
    bool open;
};

struct world {
    standin::situation script;
    bool attached = false;
    std::vector<object> objects;  // HANDLE value: 0x1000 + 4 * index
    std::map<int, HANDLE> descriptors;
    int stream_descriptor[3] = {-2, -2, -2};
    HANDLE standard[3] = {};
    DWORD output_mode = 0;
    DWORD input_mode = 0;
    std::map<std::string, int> serials;
    std::vector<std::string> transcript;
};

world w;

std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

void log(const std::string &line) { w.transcript.push_back(line); }

object *find(HANDLE handle) {
    uintptr_t value = (uintptr_t)handle;
    if (value < 0x1000 || (value - 0x1000) % 4 != 0 || (value - 0x1000) / 4 >= w.objects.size()) {
        return nullptr;
    }
    return &w.objects[(value - 0x1000) / 4];
}

std::string name_of(HANDLE handle) {
    if (handle == NULL) {
        return "NULL";
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return "INVALID";
    }
    object *o = find(handle);
    return o ? o->name : format("%p", handle);
}

HANDLE make(const std::string &name, kind what) {
    w.objects.push_back({name, what, true});
    return (HANDLE)(uintptr_t)(0x1000 + 4 * (w.objects.size() - 1));
}

// "base#n", numbered per base; with `numbered` false the first one is plain "base".
std::string fresh(const std::string &base, bool numbered = true) {
    int n = ++w.serials[base];
    return numbered || n > 1 ? base + "#" + std::to_string(n) : base;
}

kind kind_of_name(const std::string &name) {
    if (name.rfind("con.in", 0) == 0) {
        return kind::console_input;
    }
    return name.rfind("con.", 0) == 0 ? kind::console_output : kind::other;
}

HANDLE from_script(const char *name) {
    if (strcmp(name, "NULL") == 0) {
        return NULL;
    }
    if (strcmp(name, "INVALID") == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return make(name, kind_of_name(name));
}

bool valid(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

DWORD *console_mode(HANDLE handle) {
    object *o = find(handle);
    if (!o || !o->open) {
        return nullptr;
    }
    if (o->what == kind::console_output) {
        return &w.output_mode;
    }
    return o->what == kind::console_input ? &w.input_mode : nullptr;
}

int stream_index(FILE *stream) {
    if (stream == stdin) {
        return 0;
    }
    if (stream == stdout) {
        return 1;
    }
    return stream == stderr ? 2 : -1;
}

const char *stream_name(FILE *stream) {
    static const char *const names[] = {"stdin", "stdout", "stderr"};
    int i = stream_index(stream);
    return i >= 0 ? names[i] : "FILE?";
}

int standard_index(DWORD which) {
    switch (which) {
    case STD_INPUT_HANDLE:
        return 0;
    case STD_OUTPUT_HANDLE:
        return 1;
    case STD_ERROR_HANDLE:
        return 2;
    default:
        return -1;
    }
}

std::string standard_name(DWORD which) {
    static const char *const names[] = {"STD_INPUT_HANDLE", "STD_OUTPUT_HANDLE", "STD_ERROR_HANDLE"};
    int i = standard_index(which);
    return i >= 0 ? names[i] : format("%lu", which);
}

std::string narrow(const wchar_t *text) {
    std::string out;
    for (; text && *text; ++text) {
        out += (char)*text;
    }
    return out;
}

int new_descriptor(HANDLE handle) {
    int descriptor = 3;
    while (w.descriptors.count(descriptor)) {
        ++descriptor;
    }
    w.descriptors[descriptor] = handle;
    return descriptor;
}

void close_descriptor(int descriptor) {
    auto it = w.descriptors.find(descriptor);
    if (it == w.descriptors.end()) {
        return;
    }
    if (object *o = find(it->second)) {
        o->open = false;
    }
    w.descriptors.erase(it);
}

kind device_kind(const std::string &device) {
    if (device == "CONOUT$") {
        return kind::console_output;
    }
    return device == "CONIN$" ? kind::console_input : kind::other;
}

// freopen and _wfreopen (`call` is the transcript's text of the call): the
// stream's old descriptor is closed either way; on success the stream gets
// a new one on a new handle of `device`.
FILE *reopen(const std::string &call, const std::string &device, FILE *stream, bool opens) {
    int i = stream_index(stream);
    if (i >= 0) {
        close_descriptor(w.stream_descriptor[i]);
        w.stream_descriptor[i] = -1;
    }
    if (i < 0 || !opens) {
        log(call + " -> NULL");
        return NULL;
    }
    HANDLE handle = make(fresh(device), device == "NUL" ? kind::nul : device_kind(device));
    w.stream_descriptor[i] = new_descriptor(handle);
    log(call + format(" -> %s, fd %d = %s", stream_name(stream), w.stream_descriptor[i], name_of(handle).c_str()));
    return stream;
}

}  // namespace

void standin::play(const situation &s) {
    w = world{};
    w.script = s;
    w.output_mode = s.output_mode;
    w.input_mode = s.input_mode;
    for (int i = 0; i < 3; ++i) {
        w.standard[i] = from_script(s.handles[i]);
        if (valid(w.standard[i])) {
            w.stream_descriptor[i] = i;
            w.descriptors[i] = w.standard[i];
        }
    }
}

const std::vector<std::string> &standin::transcript() { return w.transcript; }

std::vector<std::string> standin::standard_handles() {
    std::vector<std::string> names;
    for (HANDLE handle : w.standard) {
        object *o = find(handle);
        names.push_back(name_of(handle) + (o && !o->open ? " (closed)" : ""));
    }
    return names;
}

BOOL standin_AttachConsole(DWORD process_id) {
    w.attached = w.script.attach_result != standin::attach::fails;
    if (w.script.attach_result == standin::attach::fills) {
        static const char *const names[] = {"con.in", "con.out", "con.err"};
        for (int i = 0; i < 3; ++i) {
            if (!valid(w.standard[i])) {
                w.standard[i] = make(names[i], kind_of_name(names[i]));
            }
        }
    }
    log(format("AttachConsole(0x%lx) -> %d", process_id, w.attached));
    return w.attached;
}

HANDLE standin_GetStdHandle(DWORD which) {
    int i = standard_index(which);
    HANDLE handle = i >= 0 ? w.standard[i] : INVALID_HANDLE_VALUE;
    log("GetStdHandle(" + standard_name(which) + ") -> " + name_of(handle));
    return handle;
}

BOOL standin_SetStdHandle(DWORD which, HANDLE handle) {
    int i = standard_index(which);
    if (i >= 0) {
        w.standard[i] = handle;
    }
    log("SetStdHandle(" + standard_name(which) + ", " + name_of(handle) + ") -> " + (i >= 0 ? "1" : "0"));
    return i >= 0;
}

HANDLE standin_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE template_file) {
    std::string device = narrow(name);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (w.attached && device_kind(device) != kind::other && disposition == OPEN_EXISTING) {
        handle = make(fresh(device), device_kind(device));
    }
    std::string attributes =
        security ? format("{%lu, %s, %d}", security->nLength, security->lpSecurityDescriptor ? "sd" : "NULL",
                          security->bInheritHandle)
                 : "NULL";
    log(format("CreateFileW(L\"%s\", 0x%lx, 0x%lx, %s, %lu, 0x%lx, %s) -> %s", device.c_str(), access, share,
               attributes.c_str(), disposition, flags, name_of(template_file).c_str(), name_of(handle).c_str()));
    return handle;
}

BOOL standin_CloseHandle(HANDLE handle) {
    object *o = find(handle);
    bool closed = o != nullptr && o->open;
    if (closed) {
        o->open = false;
    }
    log("CloseHandle(" + name_of(handle) + ") -> " + (closed ? "1" : "0"));
    return closed;
}

BOOL standin_GetConsoleMode(HANDLE handle, LPDWORD mode) {
    DWORD *current = console_mode(handle);
    if (!current) {
        log("GetConsoleMode(" + name_of(handle) + ") -> 0");
        return FALSE;
    }
    *mode = *current;
    log(format("GetConsoleMode(%s) -> 1, 0x%lx", name_of(handle).c_str(), *current));
    return TRUE;
}

BOOL standin_SetConsoleMode(HANDLE handle, DWORD mode) {
    DWORD *current = console_mode(handle);
    DWORD refused = 0;
    if (w.script.refuses_virtual_terminal) {
        refused = current == &w.output_mode ? ENABLE_VIRTUAL_TERMINAL_PROCESSING : ENABLE_VIRTUAL_TERMINAL_INPUT;
    }
    bool accepted = current && (mode & refused) == 0;
    if (accepted) {
        *current = mode;
    }
    log(format("SetConsoleMode(%s, 0x%lx) -> %d", name_of(handle).c_str(), mode, accepted));
    return accepted;
}

int standin__fileno(FILE *stream) {
    int i = stream_index(stream);
    return i >= 0 ? w.stream_descriptor[i] : -1;
}

FILE *standin_freopen(const char *name, const char *mode, FILE *stream) {
    int i = stream_index(stream);
    bool opens = strcmp(name, "NUL") == 0 && i >= 0 && (w.script.nul_refused & (1u << i)) == 0;
    return reopen(format("freopen(\"%s\", \"%s\", %s)", name, mode, stream_name(stream)), name, stream, opens);
}

FILE *standin__wfreopen(const wchar_t *name, const wchar_t *mode, FILE *stream) {
    std::string device = narrow(name);
    bool opens = w.attached && device_kind(device) != kind::other;
    std::string call = "_wfreopen(L\"" + device + "\", L\"" + narrow(mode) + "\", " + stream_name(stream) + ")";
    return reopen(call, device, stream, opens);
}

int standin__open_osfhandle(intptr_t handle, int flags) {
    object *o = find((HANDLE)handle);
    int descriptor = o && o->open ? new_descriptor((HANDLE)handle) : -1;
    log(format("_open_osfhandle(%s, 0x%x) -> %d", name_of((HANDLE)handle).c_str(), flags, descriptor));
    return descriptor;
}

int standin__dup2(int source, int target) {
    auto it = w.descriptors.find(source);
    if (it == w.descriptors.end() || target < 0) {
        log(format("_dup2(%d, %d) -> -1", source, target));
        return -1;
    }
    object *o = find(it->second);
    HANDLE copy = make(fresh("dup(" + name_of(it->second) + ")", false), o ? o->what : kind::other);
    close_descriptor(target);
    w.descriptors[target] = copy;
    log(format("_dup2(%d, %d) -> 0, fd %d = %s", source, target, target, name_of(copy).c_str()));
    return 0;
}

int standin__close(int descriptor) {
    auto it = w.descriptors.find(descriptor);
    if (it == w.descriptors.end()) {
        log(format("_close(%d) -> -1", descriptor));
        return -1;
    }
    std::string name = name_of(it->second);
    close_descriptor(descriptor);
    log(format("_close(%d) -> 0, %s closed", descriptor, name.c_str()));
    return 0;
}

int standin__setmode(int descriptor, int mode) {
    bool open = w.descriptors.count(descriptor) != 0;
    log(format("_setmode(%d, 0x%x) -> ", descriptor, mode) + (open ? format("0x%x", _O_TEXT) : "-1"));
    return open ? _O_TEXT : -1;
}

int standin_setvbuf(FILE *stream, char *buffer, int mode, size_t size) {
    std::string how = mode == _IONBF ? "_IONBF" : mode == _IOFBF ? "_IOFBF" : mode == _IOLBF ? "_IOLBF"
                                                                                             : format("%d", mode);
    log(format("setvbuf(%s, %s, %s, %zu) -> 0", stream_name(stream), buffer ? "buffer" : "NULL", how.c_str(), size));
    return 0;
}

void standin_clearerr(FILE *stream) { log(format("clearerr(%s)", stream_name(stream))); }

intptr_t standin__get_osfhandle(int descriptor) {
    auto it = w.descriptors.find(descriptor);
    HANDLE handle = it != w.descriptors.end() ? it->second : INVALID_HANDLE_VALUE;
    log(format("_get_osfhandle(%d) -> %s", descriptor, name_of(handle).c_str()));
    return (intptr_t)handle;
}
