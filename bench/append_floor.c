/* The floor an append is measured against: the plainest program that does
 * what one append must, in 13 system calls. Open the lock file, take an OFD
 * write lock, probe the new log, open/seek-end/write/close the log,
 * open/seek-end/write/close the index, unlock, close. */
#define _GNU_SOURCE
#include "append_floor.h"

#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

static int lock_file(int fd, short type) {
    struct flock request = {0};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    return fcntl(fd, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &request);
}

int floor_append(const struct floor_paths* paths, const void* record, unsigned bytes) {
    int lock = open(paths->lock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0) return -1;
    int result = -1;
    if (lock_file(lock, F_WRLCK) == 0) {
        if (access(paths->new_log, F_OK) != 0) {
            int log = open(paths->log, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            if (log >= 0) {
                off_t end = lseek(log, 0, SEEK_END);
                int written = end >= 0 && write(log, record, bytes) == (ssize_t)bytes;
                close(log);
                int index = written ? open(paths->index, O_WRONLY | O_CREAT | O_CLOEXEC, 0666) : -1;
                if (index >= 0) {
                    unsigned char entry[4];
                    uint32_t value = (uint32_t)end + bytes;
                    for (int i = 0; i < 4; ++i) entry[i] = (unsigned char)(value >> (8 * i));
                    if (lseek(index, 0, SEEK_END) >= 0 && write(index, entry, 4) == 4) result = 0;
                    close(index);
                }
            }
        }
        lock_file(lock, F_UNLCK);
    }
    close(lock);
    return result;
}
