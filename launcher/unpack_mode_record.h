// The unpack mode record as the packer filled it (unpack_mode_record.cpp).
#pragma once

unsigned int unpack_mode_record_flags(void);

// The template, unpack_mode_template_units code units at most with its 0.
void unpack_mode_record_template(wchar_t *output);
