/*
 * quill_tool.h - what the commands of the quill tool share: the session
 * (the library started with a temporary swap directory, a progress bar on
 * stderr, Ctrl-C as cancel), timing and number formatting.
 */
#ifndef QUILL_TOOL_H
#define QUILL_TOOL_H

#include <signal.h>

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

/* The library takes directories of at most 127 characters. */
enum { kDirectoryBytes = 128 };

typedef struct {
    char directory[kDirectoryBytes]; /* swap files and the demo's files */
    int started;
} Session;

/* Set by SIGINT and SIGTERM; the progress callback then asks to cancel. */
extern volatile sig_atomic_t g_interrupted;

/* Starts the library with a fresh temporary directory; 0 (reported) on
 * failure. session_stop deletes every frame and the directory. */
int session_start(Session *s);
void session_stop(Session *s);

double seconds_now(void);
/* A byte count with thousands separators (one of a few rotating buffers). */
const char *bytes_text(long long n);
/* Size of a file, -1 when it cannot be read. */
long long file_size(const char *path);

/* quill render IN OUT.png [options]; argv holds the operands and options. */
int command_render(int argc, char **argv);
/* Renders the world rect r (x0, y0 top, x1, y1 bottom) of a view into a
 * window of width x height, written as the PNG `out` (grey: scale to grey;
 * palette: indexed through a colour cube); 0 (reported) on failure. */
int render_png(int usf, int viewId, int width, int height, const double r[4], int grey, int palette,
               const char *out);

/* The demo's tour of the display and drawing half on a bilevel drawing
 * frame: its files go to outDir (their names are printed); 0 when a step
 * failed. `scratch` is a directory for temporary files. */
int quill_tour(int drawing, const char *scratch, const char *outDir);

/* quill draw IN OUT --shapes FILE [options]. */
int command_draw(int argc, char **argv);

#endif
