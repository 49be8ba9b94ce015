/* Platform of the instrumented Allegro subset used by the fuzz build; written by hand in place
 * of the file Allegro's CMake configure step generates (alplatf.h.cmake). Same values as the
 * Debian 12 build for amd64. */
#define ALLEGRO_UNIX

/* These are always defined now. */
#define ALLEGRO_NO_ASM
#define ALLEGRO_USE_C
