/*
 * data_dir.c - the quill tool's default data directory.
 *
 * The tool looks for the lossy coding tables, in this order:
 *  1. $QUILL_DATA_DIR (quill.c reads it before calling here);
 *  2. QUILL_DATA_RELATIVE from the directory of the running executable
 *     (/proc/self/exe): "../share/quill" for the usual layout, computed by
 *     CMake from the install directories. The build tree mirrors it (the
 *     tables are generated into <build>/share/quill and the tool sits in
 *     <build>/tools), so the same binary finds its tables in the build tree,
 *     in an install under any prefix (cmake --install --prefix, DESTDIR, a
 *     package unpacked anywhere) and in /usr;
 *  3. QUILL_DATA_INSTALLED, the absolute data directory of the configured
 *     prefix, for systems without /proc.
 * Step 2 takes the directory only when "magadan.XY" is readable there, so a
 * stray directory of that name does not hide the installed one.
 *
 * Decisions: rejected, a compiled-in absolute path alone: an install into
 * another prefix than the configured one (the packaging test, a staged
 * install) would point at nothing; rejected, a build-tree path as fallback:
 * an installed tool must not depend on a build directory that may be gone.
 */
#define _XOPEN_SOURCE 700 /* realpath */
#include "data_dir.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef QUILL_DATA_RELATIVE
#define QUILL_DATA_RELATIVE "../share/quill"
#endif
#ifndef QUILL_DATA_INSTALLED
#define QUILL_DATA_INSTALLED "/usr/local/share/quill"
#endif

#ifndef PATH_MAX
#define PATH_MAX 4096
#endif

/* The data directory beside the executable, resolved; 0 when there is none. */
static int beside_executable(char *out, size_t capacity) {
    char exe[PATH_MAX], joined[PATH_MAX + 64], resolved[PATH_MAX], probe[PATH_MAX + 16];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    char *slash;
    if (n <= 0)
        return 0;
    exe[n] = '\0';
    slash = strrchr(exe, '/');
    if (!slash)
        return 0;
    *slash = '\0';
    if (snprintf(joined, sizeof joined, "%s/%s", exe, QUILL_DATA_RELATIVE) >= (int)sizeof joined)
        return 0;
    if (!realpath(joined, resolved))
        return 0;
    if (snprintf(probe, sizeof probe, "%s/magadan.XY", resolved) >= (int)sizeof probe || access(probe, R_OK) != 0)
        return 0;
    if (strlen(resolved) >= capacity)
        return 0;
    strcpy(out, resolved);
    return 1;
}

const char *quill_default_data_dir(char *out, size_t capacity) {
    if (capacity == 0)
        return "";
    if (beside_executable(out, capacity))
        return out;
    snprintf(out, capacity, "%s", QUILL_DATA_INSTALLED);
    return out;
}
