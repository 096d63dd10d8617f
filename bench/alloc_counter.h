// Heap allocations made by the calling thread, counted by an allocator that
// the benchmarks and the module's heap test put in front of the C library's
// own. Linked into an executable, it replaces malloc for the whole process.
#ifndef RFID_ALLOC_COUNTER_H
#define RFID_ALLOC_COUNTER_H

#ifdef __cplusplus
extern "C" {
#endif

// Starts counting the calling thread's allocations from zero.
void rfid_alloc_count_begin(void);
// Stops counting and returns the allocations (malloc, calloc, realloc,
// aligned allocations, and operator new through malloc) since the begin.
unsigned long rfid_alloc_count_end(void);

#ifdef __cplusplus
}
#endif

#endif  // RFID_ALLOC_COUNTER_H
