/* What the instrumented Allegro subset of the fuzz build references but never uses.
 *
 * The subset (see ../CMakeLists.txt) is the library's image loaders, packfiles, memory bitmaps
 * with their software drawing routines, colour conversion, unicode and file helpers, and the
 * SYSTEM_NONE start-up. It leaves out every driver (system, display, timer, sound, input) and
 * the text and GUI code. What remains linked to those parts is defined here:
 *
 * - The driver lists hold no drivers, except SYSTEM_NONE, so install_allegro(SYSTEM_NONE, ...)
 *   works, set_gfx_mode() finds no display and install_timer() fails cleanly.
 * - loadpng_init() registers PNG as a datafile object type; datafiles are not in the subset,
 *   so register_datafile_object() does nothing.
 * - The old text and file-selector wrappers that inline.c instantiates from alcompat.h call
 *   textout_ex() and friends. Nothing the decoder does draws text; if anything ever does,
 *   the stub aborts, which the fuzzer reports as a crash rather than hiding it.
 */
#include <stdio.h>
#include <stdlib.h>

#include "allegro.h"
#include "allegro/internal/aintern.h"

_DRIVER_INFO _system_driver_list[] = {
   { SYSTEM_NONE, &system_none, TRUE },
   { 0, NULL, 0 }
};

_DRIVER_INFO _gfx_driver_list[] = {
   { 0, NULL, 0 }
};

_DRIVER_INFO _timer_driver_list[] = {
   { 0, NULL, 0 }
};

int _textmode = 0;

static void not_in_subset(const char *name)
{
   fprintf(stderr, "fuzz build: %s is not part of the instrumented Allegro subset\n", name);
   abort();
}

void textout_ex(BITMAP *bmp, AL_CONST FONT *f, AL_CONST char *str, int x, int y, int color,
                int bg)
{
   (void)bmp; (void)f; (void)str; (void)x; (void)y; (void)color; (void)bg;
   not_in_subset("textout_ex");
}

void textout_centre_ex(BITMAP *bmp, AL_CONST FONT *f, AL_CONST char *str, int x, int y,
                       int color, int bg)
{
   (void)bmp; (void)f; (void)str; (void)x; (void)y; (void)color; (void)bg;
   not_in_subset("textout_centre_ex");
}

void textout_right_ex(BITMAP *bmp, AL_CONST FONT *f, AL_CONST char *str, int x, int y,
                      int color, int bg)
{
   (void)bmp; (void)f; (void)str; (void)x; (void)y; (void)color; (void)bg;
   not_in_subset("textout_right_ex");
}

void textout_justify_ex(BITMAP *bmp, AL_CONST FONT *f, AL_CONST char *str, int x1, int x2,
                        int y, int diff, int color, int bg)
{
   (void)bmp; (void)f; (void)str; (void)x1; (void)x2; (void)y; (void)diff; (void)color;
   (void)bg;
   not_in_subset("textout_justify_ex");
}

int gui_textout_ex(BITMAP *bmp, AL_CONST char *s, int x, int y, int color, int bg, int centre)
{
   (void)bmp; (void)s; (void)x; (void)y; (void)color; (void)bg; (void)centre;
   not_in_subset("gui_textout_ex");
   return 0;
}

int file_select_ex(AL_CONST char *message, char *path, AL_CONST char *ext, int size, int w,
                   int h)
{
   (void)message; (void)path; (void)ext; (void)size; (void)w; (void)h;
   not_in_subset("file_select_ex");
   return 0;
}

void register_datafile_object(int id_, void *(*load)(PACKFILE *f, long size),
                              void (*destroy)(void *data))
{
   (void)id_; (void)load; (void)destroy;
}
