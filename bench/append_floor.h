/* The append floor program (append_floor.c). */
#ifndef APPEND_FLOOR_H
#define APPEND_FLOOR_H

#ifdef __cplusplus
extern "C" {
#endif

struct floor_paths {
    const char* lock;
    const char* new_log;
    const char* log;
    const char* index;
};

/* Appends `bytes` bytes of `record` to the log and its end offset to the
 * index, under the lock; 0 on success. */
int floor_append(const struct floor_paths* paths, const void* record, unsigned bytes);

#ifdef __cplusplus
}
#endif

#endif
