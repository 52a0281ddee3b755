// The link failure shown on the panel: a code (1 amplifier, 2 FT-817 CAT,
// 3 transceiver serial link) and its text. Several link threads may fail
// at once while the supervisor draws the text: the text is written and
// read under the record's linkErrMut, and the code is set after its text.
#pragma once
#include <cstddef>

struct works;

// Sets the text (printf-style) and then linkError = code.
void SetLinkError(works *w, int code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Copies the text (NUL-terminated, at most n - 1 characters) into `out`.
void GetLinkErrorText(works *w, char *out, size_t n);
