/*
 * data_dir.h - where the quill tool finds the data files of the lossy tile
 * coding ("magadan.XY", "urupinsk.XY") when QUILL_DATA_DIR does not say.
 */
#ifndef QUILL_TOOLS_DATA_DIR_H
#define QUILL_TOOLS_DATA_DIR_H

#include <stddef.h>

/* Writes the default data directory into `out` (at most `capacity` bytes)
 * and returns `out`: the directory beside the running executable that the
 * install layout puts the data in (bin/../share/quill, and in the build tree
 * tools/../share/quill) when it holds the tables, else the installed data
 * directory compiled in. */
const char *quill_default_data_dir(char *out, size_t capacity);

#endif
