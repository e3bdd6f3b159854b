/* The example's program: the installer starts it once everything is
   unpacked. It reads hello.txt beside itself and, when QTK_EXAMPLE_OUT
   names a folder, writes what it read into hello-ran.txt there (the test
   in scripts/test.sh looks for it). Exit code 0 when hello.txt was there,
   3 otherwise; the installer returns it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(void) {
  char path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 3;
  char* slash = strrchr(path, '\\');
  strcpy(slash ? slash + 1 : path, "hello.txt");
  char text[256] = "";
  FILE* f = fopen(path, "rb");
  if (!f) return 3;
  size_t got = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[got] = '\0';
  printf("%s", text);
  const char* out = getenv("QTK_EXAMPLE_OUT");
  if (out && *out) {
    char mark[MAX_PATH + 32];
    snprintf(mark, sizeof mark, "%s\\hello-ran.txt", out);
    FILE* m = fopen(mark, "wb");
    if (!m) return 4;
    fputs(text, m);
    fclose(m);
  }
  return 0;
}
