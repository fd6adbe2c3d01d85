// Preloaded into the probe: a wall clock whose CLOCKFAIL'th reading (1 or 2)
// fails as glibc's does past 2038 with a 32-bit time_t. The other reading
// succeeds and leaves the record as it was.
#include <cerrno>
#include <cstdlib>

namespace
{
long calls;

// Unset or not a whole number, CLOCKFAIL fails no reading.
long failing()
{
	const char *text = std::getenv("CLOCKFAIL");
	if (text == nullptr)
		return 0;
	// A reading that succeeds must leave errno as the probe had it.
	const int saved = errno;
	errno = 0;
	char *rest = nullptr;
	const long call = std::strtol(text, &rest, 10);
	const bool whole = rest != text && *rest == '\0' && errno == 0;
	errno = saved;
	return whole ? call : 0;
}

int reading()
{
	if (++calls != failing())
		return 0;
	errno = EOVERFLOW;
	return -1;
}
} // namespace

// With 64-bit time on a 32-bit target, glibc's header renames the call.
extern "C" __attribute__((visibility("default"))) int gettimeofday(void * /*tv*/, void * /*tz*/)
{
	return reading();
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's name
extern "C" __attribute__((visibility("default"))) int __gettimeofday64(void * /*tv*/, void * /*tz*/)
{
	return reading();
}
