// info: the file as tambrix-fw sees it. tambrix-fw reads files with the
// library's own file classes, which a host cannot reach through the public
// interface; running the sibling program keeps one implementation and
// keeps the flasher a plain host of the library.
#include "Commands.h"

#include "Results.h"
#include "System.h"

namespace flasher {

int InfoCommand(const CommandOptions& options)
{
    if (int code = CheckInputs(options))
        return code;
    std::string program = ProgramDirectory() + "/" + ProgramFileName("tambrix-fw");
    std::vector<std::string> args = {"info"};
    if (options.json)
        args.push_back("--json");
    args.push_back(options.file);
    int code = RunProgram(program, args);
    if (code < 0)
        return Fail(kExitNoLibrary, program + ": cannot be run");
    return code;
}

} // namespace flasher
