#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void delay(int passes)
{
	for (int i = 0; i < passes; i++)
		for (int j = 0; j < 5000; j++)
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
	// figure rather than being hidden.
	gettimeofday(&start, nullptr);
	delay(1000);
	gettimeofday(&end, nullptr);
	long usec = (end.tv_sec - start.tv_sec) * 1000000 + end.tv_usec - start.tv_usec;
	std::printf("thedifference is %ld\n", usec);

	// printf only fills a buffer; a full disk or closed descriptor shows
	// at the flush, and the figure is the whole result.
	if (std::fflush(stdout) == EOF || std::ferror(stdout) != 0 || std::fclose(stdout) == EOF) {
		std::fprintf(stderr, "delayprobe: write error: %s\n", std::strerror(errno));
		return 1;
	}
	return 0;
}
