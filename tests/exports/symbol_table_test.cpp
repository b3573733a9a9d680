// The shared library's dynamic symbol table: exactly the three names of each
// listed function plus NDX_GetLastError, nothing else (no C++ runtime, no
// internal names), and the aliases on the right addresses. The table is read
// from the file itself, so the check works the same for 32- and 64-bit
// builds and needs no binutils on the test machine.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "device/function_list.h"
#include "support/library_under_test.h"
#include "velmora.h"

namespace {

#define VELMORA_NAME(name, ret, bytes, params, args) #name,
const char* const Functions[] = {VELMORA_FUNCTIONS(VELMORA_NAME)};
#undef VELMORA_NAME

std::vector<char> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names of the defined, globally visible symbols of .dynsym. Every offset is
// checked against the file size: a malformed file gives an empty set.
template <typename Ehdr, typename Shdr, typename Sym, unsigned char (*Bind)(unsigned char)>
std::set<std::string> DefinedDynamicSymbols(const std::vector<char>& file) {
  std::set<std::string> names;
  const auto fits = [&](std::uint64_t offset, std::uint64_t size) {
    return offset <= file.size() && size <= file.size() - offset;
  };
  if (!fits(0, sizeof(Ehdr))) return names;
  Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof eh);
  if (eh.e_shentsize != sizeof(Shdr) || !fits(eh.e_shoff, std::uint64_t(eh.e_shnum) * sizeof(Shdr)))
    return names;
  std::vector<Shdr> sections(eh.e_shnum);
  std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Shdr));
  for (const Shdr& s : sections) {
    if (s.sh_type != SHT_DYNSYM || s.sh_link >= sections.size()) continue;
    const Shdr& strtab = sections[s.sh_link];
    if (!fits(s.sh_offset, s.sh_size) || !fits(strtab.sh_offset, strtab.sh_size)) return names;
    for (std::uint64_t at = 0; at + sizeof(Sym) <= s.sh_size; at += sizeof(Sym)) {
      Sym sym;
      std::memcpy(&sym, file.data() + s.sh_offset + at, sizeof sym);
      const unsigned bind = Bind(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE))
        continue;
      if (sym.st_name >= strtab.sh_size) return {};
      const char* name = file.data() + strtab.sh_offset + sym.st_name;
      names.insert(std::string(name, strnlen(name, std::size_t(strtab.sh_size - sym.st_name))));
    }
  }
  return names;
}

unsigned char Bind32(unsigned char info) { return ELF32_ST_BIND(info); }
unsigned char Bind64(unsigned char info) { return ELF64_ST_BIND(info); }

std::set<std::string> ExportedNames(const char* path) {
  const std::vector<char> file = ReadFile(path);
  if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) return {};
  if (file[EI_CLASS] == ELFCLASS32)
    return DefinedDynamicSymbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Bind32>(file);
  return DefinedDynamicSymbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Bind64>(file);
}

TEST(SymbolTable, ExportsExactlyTheThreeNamesOfEachFunctionAndGetLastError) {
  std::set<std::string> expected{"NDX_GetLastError"};
  for (const char* f : Functions) {
    expected.insert(std::string("NDX_") + f);
    expected.insert(std::string("_NDX_") + f);
    expected.insert(std::string("VBNDX_") + f);
  }
  ASSERT_EQ(expected.size(), 46u);
  EXPECT_EQ(ExportedNames(VELMORA_LIBRARY_FILE), expected);
}

TEST(SymbolTable, UnderscoreNameIsTheSameEntryAndTheWrapperAnother) {
  void* lib = velmora::testing::LoadLibraryUnderTest(RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* f : Functions) {
    void* plain = dlsym(lib, (std::string("NDX_") + f).c_str());
    void* underscore = dlsym(lib, (std::string("_NDX_") + f).c_str());
    void* wrapper = dlsym(lib, (std::string("VBNDX_") + f).c_str());
    ASSERT_NE(plain, nullptr) << f;
    EXPECT_EQ(underscore, plain) << f;
    EXPECT_NE(wrapper, nullptr) << f;
    EXPECT_NE(wrapper, plain) << f;
  }
  dlclose(lib);
}

}  // namespace
