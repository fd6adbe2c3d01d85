// Preloaded into the probe: a wall clock whose CLOCKFAIL'th reading (1 or 2)
// fails as glibc's does past 2038 with a 32-bit time_t. The other reading
// succeeds and leaves the record as it was.
#include <cerrno>
#include <cstdlib>

namespace
{
int calls;

int reading()
{
	const char *fail = std::getenv("CLOCKFAIL");
	if (++calls != std::atoi(fail != nullptr ? fail : "0"))
		return 0;
	errno = EOVERFLOW;
	return -1;
}
} // namespace

// With 64-bit time on a 32-bit target, glibc's header renames the call.
extern "C" __attribute__((visibility("default"))) int gettimeofday(void *, void *)
{
	return reading();
}

extern "C" __attribute__((visibility("default"))) int __gettimeofday64(void *, void *)
{
	return reading();
}
