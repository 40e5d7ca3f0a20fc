# Writes the DLL's .def for hosts of other toolchains: the linker's own list
# of the exports (-Wl,--output-def), headed by the DLL's name, which the
# linker leaves out and an import-library tool needs.
# cmake -DEXPORTS=linker.def -DDLL=TAMBRIX01.dll -DOUTPUT=TAMBRIX01.def -P DefFile.cmake
file(READ ${EXPORTS} exports)
file(WRITE ${OUTPUT} "LIBRARY ${DLL}\n${exports}")
