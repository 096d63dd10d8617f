// Heap allocations made by the calling thread, counted by an allocator that
// the benchmark binary puts in front of the C library's own.
#ifndef RFID_BENCH_ALLOC_COUNTER_H
#define RFID_BENCH_ALLOC_COUNTER_H

#ifdef __cplusplus
extern "C" {
#endif

// Starts counting the calling thread's allocations from zero.
void rfid_bench_count_begin(void);
// Stops counting and returns the allocations (malloc, calloc, realloc,
// aligned allocations, and operator new through malloc) since the begin.
unsigned long rfid_bench_count_end(void);

#ifdef __cplusplus
}
#endif

#endif  // RFID_BENCH_ALLOC_COUNTER_H
