// Firmware file speed: LoadFile with validation of a 16 MiB container, and
// CSha1 against the machine's sha1sum on the same bytes. Prints figures; it
// checks nothing but that the digests agree. Run it by hand on a quiet
// machine:  build/native/tests/bench/mocf_bench [runs]
#include "files/FirmwareBuilder.h"
#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/sha1/sha1.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

double MBps(uint64_t bytes, double seconds)
{
    return double(bytes) / 1e6 / seconds;
}

// Bytes this process has read through system calls so far.
long long ReadBytes()
{
    FILE* io = std::fopen("/proc/self/io", "r");
    if (!io)
        return -1;
    char line[128];
    long long value = -1;
    while (std::fgets(line, sizeof line, io))
        if (std::sscanf(line, "rchar: %lld", &value) == 1)
            break;
    std::fclose(io);
    return value;
}

std::string Hex(const uint8_t* digest)
{
    std::string out;
    char two[3];
    for (uint32_t i = 0; i < SHA1HashSize; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    // A container of exactly 16 MiB: header, digest, table, boot, and an
    // application image that fills the rest.
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    firmware::ImageRecipe app = firmware::DefaultApp();
    firmware::ContainerRecipe recipe;
    recipe.images = {firmware::MakeImage(boot), firmware::MakeImage(app)};
    size_t overhead = firmware::MakeContainer(recipe).size() - app.size;
    app.size = uint32_t(0x1000000 - overhead);
    recipe.images[1] = firmware::MakeImage(app);
    std::vector<uint8_t> file = firmware::MakeContainer(recipe);
    if (file.size() != 0x1000000) {
        std::fprintf(stderr, "mocf_bench: container of %zu bytes\n", file.size());
        return 1;
    }

    char path[] = "/tmp/mocf_bench_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, file.data(), file.size()) != ssize_t(file.size())) {
        std::fprintf(stderr, "mocf_bench: cannot write %s\n", path);
        return 1;
    }
    close(fd);
    std::wstring name = platform::Utf8ToWide(path);

    Log* log = Retain(new Log());
    LibMOCF* mocf = Retain(new LibMOCF(nullptr, log));

    // LoadFile: open, read whole, validate (copy and SHA-1), build the nodes.
    std::vector<double> load;
    long long readPerLoad = 0;
    for (int i = 0; i < runs + 1; ++i) {
        long long before = ReadBytes();
        auto start = Clock::now();
        int32_t result = mocf->LoadFile(name.c_str());
        double t = Seconds(start);
        readPerLoad = ReadBytes() - before;
        if (result != 0 || mocf->kind != MOCF_KIND_CONTAINER) {
            std::fprintf(stderr, "mocf_bench: the container does not load\n");
            return 1;
        }
        mocf->Clear();
        if (i > 0)   // the first run warms the page cache
            load.push_back(t);
    }

    // CSha1 over the same 16 MiB in memory.
    CSha1 sha;
    uint8_t digest[SHA1HashSize];
    std::vector<double> hash;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        sha.Compute(file.data(), uint32_t(file.size()), digest);
        hash.push_back(Seconds(start));
    }

    // sha1sum over the file, from the page cache; the process start is in
    // its time, a millisecond or so.
    std::vector<double> tool;
    std::string toolDigest;
    std::string command = std::string("sha1sum ") + path;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        char out[128] = {};
        bool got = pipe && std::fgets(out, sizeof out, pipe);
        if (pipe)
            pclose(pipe);
        tool.push_back(Seconds(start));
        if (!got) {
            std::fprintf(stderr, "mocf_bench: sha1sum did not run\n");
            return 1;
        }
        toolDigest.assign(out, 40);
    }

    Release(mocf);
    Release(log);
    unlink(path);

    double loadBest = *std::min_element(load.begin(), load.end());
    double hashBest = *std::min_element(hash.begin(), hash.end());
    double toolBest = *std::min_element(tool.begin(), tool.end());
    const uint64_t n = file.size();
    std::printf("container: %zu bytes (16 MiB), %d runs, MB = 10^6 bytes\n", file.size(), runs);
    std::printf("LoadFile + validation: best %.1f MB/s, median %.1f MB/s; %lld bytes read per load\n",
                MBps(n, loadBest), MBps(n, Median(load)), readPerLoad);
    std::printf("CSha1:                 best %.1f MB/s, median %.1f MB/s  %s\n", MBps(n, hashBest),
                MBps(n, Median(hash)), Hex(digest).c_str());
    std::printf("sha1sum:               best %.1f MB/s, median %.1f MB/s  %s\n", MBps(n, toolBest),
                MBps(n, Median(tool)), toolDigest.c_str());
    std::printf("CSha1 / sha1sum:       %.2f\n", MBps(n, hashBest) / MBps(n, toolBest));
    if (toolDigest != Hex(digest)) {
        std::fprintf(stderr, "mocf_bench: the digests differ\n");
        return 1;
    }
    return 0;
}
