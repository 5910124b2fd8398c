/* The floor for the command-line benchmarks: the least a process can do to
 * record a task. It writes one small file the same atomic way the tool does
 * (O_EXCL temporary with mode 0600, write, fsync, rename, chmod) and, with
 * --stdin, first reads standard input as a hook event arrives and the
 * previous file it replaces, as a hook reads the session's previous record.
 * With --read it instead copies every file of DIRECTORY to standard output:
 * the least a listing of that directory costs.
 *
 *   floor_atomic_write DIRECTORY NAME [--stdin]
 *   floor_atomic_write --read DIRECTORY
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int readAll(const char* directory) {
  DIR* dir = opendir(directory);
  if (!dir) return 1;
  int dirFd = dirfd(dir);
  char buffer[16385];
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_name[0] == '.') continue;
    int fd = openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 1;
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0 || write(1, buffer, (size_t)n) != n) return 1;
  }
  closedir(dir);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (strcmp(argv[1], "--read") == 0) return readAll(argv[2]);
  char input[65537];
  size_t used = 0;
  if (argc > 3 && strcmp(argv[3], "--stdin") == 0) {
    ssize_t n;
    while (used < sizeof input && (n = read(0, input + used, sizeof input - used)) > 0)
      used += (size_t)n;
  }
  char target[4096], temporary[4096];
  snprintf(target, sizeof target, "%s/%s.json", argv[1], argv[2]);
  if (argc > 3) {
    char previous[16385];
    int old = open(target, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (old >= 0 && read(old, previous, sizeof previous) < 0) return 1;
    if (old >= 0) close(old);
  }
  snprintf(temporary, sizeof temporary, "%s/.%s.json-XXXXXX", argv[1], argv[2]);
  int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return 1;
  char record[256];
  int length = snprintf(record, sizeof record,
                        "{\"id\":\"%s\",\"name\":\"job\",\"state\":\"working\","
                        "\"updatedAt\":786432000.5,\"source\":\"Local status\",\"input\":%zu}",
                        argv[2], used);
  if (write(fd, record, (size_t)length) != length || fchmod(fd, 0600) != 0 || fsync(fd) != 0 ||
      rename(temporary, target) != 0)
    return 1;
  close(fd);
  return 0;
}
