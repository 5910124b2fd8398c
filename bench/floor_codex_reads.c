/* The floor for `lantrel-status codex`: the least a process can do to list
 * the Codex tasks of a Codex home. It follows the plan that make_codex_home
 * wrote: "walk DIR" lists DIR recursively (hidden entries skipped) and stats
 * every entry that is not a directory without following links, as finding
 * the recent transcripts must; "read PATH OFFSET LENGTH" opens PATH and reads
 * that byte range, as the bounded heads and tails, the global state and the
 * log tails must be read. Nothing is parsed.
 *
 *   floor_codex_reads PLAN
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char buffer[1 << 20];

static int walk(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return 1;
  int fd = dirfd(dir);
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_name[0] == '.') continue;
    if (entry->d_type == DT_DIR) {
      char child[4096];
      snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
      if (walk(child) != 0) return 1;
      continue;
    }
    struct stat st;
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 1;
  }
  closedir(dir);
  return 0;
}

static int readRange(const char* path, long long offset, long long length) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  while (length > 0) {
    size_t chunk = length < (long long)sizeof buffer ? (size_t)length : sizeof buffer;
    ssize_t n = pread(fd, buffer, chunk, (off_t)offset);
    if (n <= 0) break;
    offset += n;
    length -= n;
  }
  close(fd);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  FILE* plan = fopen(argv[1], "r");
  if (!plan) return 1;
  char line[8192], path[4096];
  long long offset, length;
  while (fgets(line, sizeof line, plan)) {
    if (strncmp(line, "walk ", 5) == 0) {
      line[strcspn(line, "\n")] = '\0';
      if (walk(line + 5) != 0) return 1;
    } else if (sscanf(line, "read %4095s %lld %lld", path, &offset, &length) == 3) {
      if (readRange(path, offset, length) != 0) return 1;
    }
  }
  fclose(plan);
  return 0;
}
