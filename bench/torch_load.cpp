// torch_load: loads a TorchScript model with libtorch, from its plain file or from its sealed
// data file through a SealedStreambuf, and reports the process's peak resident size, so that
// bench/torch_load.sh can show what reading through the stream costs an engine that copies each
// tensor into storage of its own.
//   torch_load make <MiB> <model.pt>        writes a module holding <MiB> of float parameters
//   torch_load plain <model.pt>             torch::jit::load(path)
//   torch_load sealed <model.sealed> <key>  torch::jit::load(std::istream&) over the reader

#include <sys/resource.h>
#include <torch/script.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <istream>
#include <string>

#include "sealcore/sealed_reader.h"

namespace {

// The sum of every parameter, so that each tensor is read.
double Sum(const torch::jit::Module& module) {
    double sum = 0;
    for (const at::Tensor& p : module.parameters()) {
        sum += p.sum().item<double>();
    }
    return sum;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        double sum = 0;
        if (mode == "make" && argc == 4) {
            torch::jit::Module module("Model");
            const long floats = std::atol(argv[2]) * (1 << 20) / 4;
            // Eight tensors, as a model has its layers.
            for (int i = 0; i < 8; ++i) {
                module.register_parameter("w" + std::to_string(i), torch::rand({floats / 8}),
                                          false);
            }
            module.save(argv[3]);
            return 0;
        } else if (mode == "plain" && argc == 3) {
            sum = Sum(torch::jit::load(argv[2]));
        } else if (mode == "sealed" && argc == 4) {
            util_ko::SealedStreambuf buf(util_ko::OpenSealedFile(argv[2], argv[3]));
            std::istream in(&buf);
            sum = Sum(torch::jit::load(in));
        } else {
            std::fprintf(stderr,
                         "usage: torch_load make <MiB> <model.pt> | plain <model.pt> | sealed "
                         "<model.sealed> <key>\n");
            return 2;
        }
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        std::printf("sum %.3f, peak %ld KiB\n", sum, usage.ru_maxrss);
        return 0;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}
