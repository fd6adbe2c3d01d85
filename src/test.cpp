#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// The inner loop's bound. The twins of the probe that delayprobe-bench
// --calibrate measures beside it are this file built with a longer loop
// (-DINNER=5050, 1% longer): a known difference for the machine to find.
#ifndef INNER
#define INNER 5000
#endif

void delay(int passes)
{
	for (int i = 0; i < passes; i++)
		for (int j = 0; j < INNER; j++)
			// The loop is the workload, yet it computes nothing, so the
			// optimiser may delete or collapse it. This empty asm claims to
			// read and change j and memory: every increment and comparison
			// must then happen, in order, and the loop cannot move out from
			// between the clock readings. It emits no instruction and keeps
			// j in a register; it does not make the loop cost the same under
			// every compiler or CPU.
			asm volatile("" : "+r"(j) : : "memory");
}

int main()
{
	timeval start{};
	timeval end{};

	// The wall clock on purpose, not a monotonic one: the figure is the loop
	// as the wall clock saw it, and a clock stepped mid-run shows as an odd
	// figure rather than being hidden. Both results are looked at only after
	// the second reading, so that the timed interval holds the loop alone.
	int first = gettimeofday(&start, nullptr);
	delay(1000);
	int second = gettimeofday(&end, nullptr);
	if (first != 0 || second != 0) {
		std::fprintf(stderr, "delayprobe: gettimeofday: %s\n", std::strerror(errno));
		return 1;
	}
	// 64 bits, where long may have 32: an hour is 3.6e9 microseconds.
	long long usec = (end.tv_sec - start.tv_sec) * 1000000LL + end.tv_usec - start.tv_usec;
	std::printf("thedifference is %lld\n", usec);

	// printf only fills a buffer; a full disk or closed descriptor shows
	// at the flush, and the figure is the whole result.
	if (std::fflush(stdout) == EOF || std::ferror(stdout) != 0 || std::fclose(stdout) == EOF) {
		std::fprintf(stderr, "delayprobe: write error: %s\n", std::strerror(errno));
		return 1;
	}
	return 0;
}
