/* What the floor servers share: a UDP socket on a port that the system
 * chooses, announced in a file that appears whole (written aside, then
 * renamed), so that the bench can read it as soon as it exists. */
#ifndef TARVO_BENCH_FLOOR_COMMON_H
#define TARVO_BENCH_FLOOR_COMMON_H

#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* A bound UDP socket, or -1. Writes its port to `portFile`. */
static int FloorOpen(const char* portFile) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof addr;
  if (bind(s, (struct sockaddr*)&addr, sizeof addr) != 0 ||
      getsockname(s, (struct sockaddr*)&addr, &length) != 0) {
    close(s);
    return -1;
  }
  char aside[4096];
  snprintf(aside, sizeof aside, "%s.part", portFile);
  FILE* f = fopen(aside, "w");
  if (f == NULL) return -1;
  fprintf(f, "%d\n", ntohs(addr.sin_port));
  if (fclose(f) != 0 || rename(aside, portFile) != 0) return -1;
  return s;
}

#endif
