// A qemu-user plugin that counts how often each instruction of the guest
// program itself runs, with the function it lies in, and how many
// instructions run in all, and writes them to qemu's log at every system
// call and at exit. With -strace in the same log, each system call's name
// follows the counts of the phase it ends.
//
// Debian's qemu exports the plugin API (version 1) but ships no header for
// it, so the few functions used are declared here as qemu-plugin.h has them.

#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_map>

extern "C" {
using qemu_plugin_id_t = uint64_t;
struct qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
using tb_trans_cb = void (*)(qemu_plugin_id_t, qemu_plugin_tb *);
using syscall_cb = void (*)(qemu_plugin_id_t, unsigned int, int64_t, uint64_t, uint64_t, uint64_t,
                            uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
using udata_cb = void (*)(qemu_plugin_id_t, void *);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t, tb_trans_cb);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t, syscall_cb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t, udata_cb, void *);
size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb *);
qemu_plugin_insn *qemu_plugin_tb_get_insn(const qemu_plugin_tb *, size_t);
uint64_t qemu_plugin_insn_vaddr(const qemu_plugin_insn *);
const char *qemu_plugin_insn_symbol(const qemu_plugin_insn *);
void qemu_plugin_register_vcpu_tb_exec_inline(qemu_plugin_tb *, qemu_plugin_op, void *, uint64_t);
void qemu_plugin_register_vcpu_insn_exec_inline(qemu_plugin_insn *, qemu_plugin_op, void *,
                                                uint64_t);
void qemu_plugin_outs(const char *);
uint64_t qemu_plugin_start_code();
uint64_t qemu_plugin_end_code();

__attribute__((visibility("default"))) extern const int qemu_plugin_version = 1;
__attribute__((visibility("default"))) int
qemu_plugin_install(qemu_plugin_id_t plugin, const qemu_info_t *info, int argc, char **argv);
}

namespace
{

uint64_t start, end, total;
// Node-based, so a count's address stays put for the inline adds.
std::unordered_map<uint64_t, uint64_t> counts;
std::unordered_map<uint64_t, std::string> symbols;

void translate(qemu_plugin_id_t /*plugin*/, qemu_plugin_tb *block)
{
	// The program is loaded only after the plugin is installed.
	if (end == 0) {
		start = qemu_plugin_start_code();
		end = qemu_plugin_end_code();
	}
	size_t insns = qemu_plugin_tb_n_insns(block);
	qemu_plugin_register_vcpu_tb_exec_inline(block, QEMU_PLUGIN_INLINE_ADD_U64, &total, insns);
	for (size_t i = 0; i < insns; i++) {
		qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(block, i);
		uint64_t vaddr = qemu_plugin_insn_vaddr(insn);
		if (vaddr < start || vaddr >= end)
			continue;
		const char *symbol = qemu_plugin_insn_symbol(insn);
		symbols[vaddr - start] = symbol != nullptr ? symbol : "?";
		qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64,
		                                           &counts[vaddr - start], 1);
	}
}

void report()
{
	std::string out = "icount total " + std::to_string(total) + "\n";
	for (auto &[offset, n] : counts)
		if (n != 0)
			out += "icount " + std::to_string(offset) + " " + std::to_string(n) + " " +
			       symbols[offset] + "\n";
	out += "icount end\n";
	qemu_plugin_outs(out.c_str());
	total = 0;
	for (auto &count : counts)
		count.second = 0;
}

void syscall(qemu_plugin_id_t /*plugin*/, unsigned int /*vcpu_index*/, int64_t /*num*/,
             uint64_t /*a1*/, uint64_t /*a2*/, uint64_t /*a3*/, uint64_t /*a4*/, uint64_t /*a5*/,
             uint64_t /*a6*/, uint64_t /*a7*/, uint64_t /*a8*/)
{
	report();
}

void finish(qemu_plugin_id_t /*plugin*/, void * /*userdata*/)
{
	report();
}

} // namespace

int qemu_plugin_install(qemu_plugin_id_t plugin, const qemu_info_t * /*info*/, int /*argc*/,
                        char ** /*argv*/)
{
	qemu_plugin_register_vcpu_tb_trans_cb(plugin, translate);
	qemu_plugin_register_vcpu_syscall_cb(plugin, syscall);
	qemu_plugin_register_atexit_cb(plugin, finish, nullptr);
	return 0;
}
