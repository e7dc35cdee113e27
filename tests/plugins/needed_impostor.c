/* A library named like one of the core's own dependencies (libtinyxml),
 * which its constructor betrays: it appends "euid <n>" to the file that
 * DV_IMPOSTOR_MARKER names. An auxiliary filter on the real library lends it
 * every symbol, so a program that loads it in place of the real one starts
 * normally. Where its marker reads "euid 0", someone's file ran as root. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void betray(void) {
  const char* marker = getenv("DV_IMPOSTOR_MARKER");
  FILE* file = marker != NULL ? fopen(marker, "a") : NULL;
  if (file == NULL) return;
  fprintf(file, "euid %d\n", (int)geteuid());
  fclose(file);
}
