// What coreutils' libstdbuf does for stdout, built for the target. Debian has
// no coreutils for most foreign architectures, so when stdbuf runs qemu-user,
// the guest is handed this library in place of the host's.
#include <cstdio>
#include <cstdlib>
#include <cstring>

__attribute__((constructor)) static void apply()
{
	const char *mode = std::getenv("_STDBUF_O");
	if (mode != nullptr && std::strcmp(mode, "0") == 0)
		std::setvbuf(stdout, nullptr, _IONBF, 0);
	else if (mode != nullptr && std::strcmp(mode, "L") == 0)
		std::setvbuf(stdout, nullptr, _IOLBF, 0);
}
