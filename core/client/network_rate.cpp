#include "core/client/network_rate.h"

namespace hx::network {

namespace {
constexpr uint32_t kInitial[kRateCount][2] = {{0, 0},       {48, 48},     {100, 200},   {200, 400},    {2048, 2048},
                                              {2048, 2048}, {4096, 4096}, {48, 48},     {320, 640},    {2048, 2048},
                                              {2048, 2048}, {512, 512},   {4096, 4096}, {10240, 10240}};
}  // namespace

RateEntry rate[kRateCount] = {
    {{kInitial[0][0]}, {kInitial[0][1]}},   {{kInitial[1][0]}, {kInitial[1][1]}},
    {{kInitial[2][0]}, {kInitial[2][1]}},   {{kInitial[3][0]}, {kInitial[3][1]}},
    {{kInitial[4][0]}, {kInitial[4][1]}},   {{kInitial[5][0]}, {kInitial[5][1]}},
    {{kInitial[6][0]}, {kInitial[6][1]}},   {{kInitial[7][0]}, {kInitial[7][1]}},
    {{kInitial[8][0]}, {kInitial[8][1]}},   {{kInitial[9][0]}, {kInitial[9][1]}},
    {{kInitial[10][0]}, {kInitial[10][1]}}, {{kInitial[11][0]}, {kInitial[11][1]}},
    {{kInitial[12][0]}, {kInitial[12][1]}}, {{kInitial[13][0]}, {kInitial[13][1]}},
};

void ResetRates() {
  for (size_t i = 0; i < kRateCount; ++i) rate[i].set(kInitial[i][0], kInitial[i][1]);
}

}  // namespace hx::network
