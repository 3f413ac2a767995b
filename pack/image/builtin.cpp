// The launcher executable that velsor-pack packs with, its variant with the
// unpack modes, and the runner DLL that starts an existing program, carried
// inside the packer so that the packer is one file. The build gives their
// paths as VELSOR_LAUNCHER_FILE, VELSOR_MODES_LAUNCHER_FILE and
// VELSOR_RUNNER_FILE; the assembler copies them into read-only data.
#include "pack/image/image.h"

#ifndef VELSOR_LAUNCHER_FILE
#error "VELSOR_LAUNCHER_FILE must name the launcher executable (as a string literal)"
#endif
#ifndef VELSOR_MODES_LAUNCHER_FILE
#error "VELSOR_MODES_LAUNCHER_FILE must name the launcher with the unpack modes (as a string literal)"
#endif
#ifndef VELSOR_RUNNER_FILE
#error "VELSOR_RUNNER_FILE must name the runner DLL (as a string literal)"
#endif

extern "C" const unsigned char velsor_builtin_launcher[];
extern "C" const unsigned char velsor_builtin_launcher_end[];
extern "C" const unsigned char velsor_builtin_modes_launcher[];
extern "C" const unsigned char velsor_builtin_modes_launcher_end[];
extern "C" const unsigned char velsor_builtin_runner[];
extern "C" const unsigned char velsor_builtin_runner_end[];

__asm__(
#ifdef _WIN32
    ".section .rdata,\"dr\"\n"
#else
    ".section .rodata\n"
#endif
    "\t.balign 16\n"
    "velsor_builtin_launcher:\n"
    "\t.incbin \"" VELSOR_LAUNCHER_FILE "\"\n"
    "velsor_builtin_launcher_end:\n"
    "\t.balign 16\n"
    "velsor_builtin_modes_launcher:\n"
    "\t.incbin \"" VELSOR_MODES_LAUNCHER_FILE "\"\n"
    "velsor_builtin_modes_launcher_end:\n"
    "\t.balign 16\n"
    "velsor_builtin_runner:\n"
    "\t.incbin \"" VELSOR_RUNNER_FILE "\"\n"
    "velsor_builtin_runner_end:\n"
    "\t.text\n");

namespace velsor {

launcher_image builtin_launcher() {
    bytes image(velsor_builtin_launcher, velsor_builtin_launcher_end);
    return load_launcher(std::move(image), "the built-in launcher");
}

launcher_image builtin_modes_launcher() {
    bytes image(velsor_builtin_modes_launcher, velsor_builtin_modes_launcher_end);
    return load_launcher(std::move(image), "the built-in launcher with the unpack modes");
}

runner_image builtin_runner() {
    bytes image(velsor_builtin_runner, velsor_builtin_runner_end);
    return load_runner(std::move(image), "the built-in runner");
}

}  // namespace velsor
