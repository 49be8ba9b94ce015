/* Unix configuration of the instrumented Allegro subset used by the fuzz build; written by hand
 * in place of the file Allegro's CMake configure step generates (alunixac.h.cmake). It keeps the
 * Debian 12 amd64 values that matter to the image and file code, and leaves out every driver
 * (X11, ALSA, modules): the subset has no display, sound or input. */
#define ALLEGRO_COLOR8
#define ALLEGRO_COLOR16
#define ALLEGRO_COLOR24
#define ALLEGRO_COLOR32

#define ALLEGRO_HAVE_DIRENT_H
#define ALLEGRO_HAVE_INTTYPES_H
#define ALLEGRO_HAVE_STDINT_H
#define ALLEGRO_HAVE_SYS_STAT_H
#define ALLEGRO_HAVE_SYS_TIME_H
#define ALLEGRO_HAVE_SYS_UTSNAME_H

#define ALLEGRO_HAVE_MEMCMP
#define ALLEGRO_HAVE_MKSTEMP
#define ALLEGRO_HAVE_MMAP
#define ALLEGRO_HAVE_MPROTECT
#define ALLEGRO_HAVE_POSIX_MONOTONIC_CLOCK
#define ALLEGRO_HAVE_SCHED_YIELD
#define ALLEGRO_HAVE_SYSCONF

#define ALLEGRO_LITTLE_ENDIAN
#define ALLEGRO_NO_ASM
#define ALLEGRO_HAVE_LIBPTHREAD
#define ALLEGRO_USE_CONSTRUCTOR

#define RETSIGTYPE void
