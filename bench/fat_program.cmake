# Programs of N generated units linked with the runtime, for the cold-trace
# benchmark (bench/fat_trace_bench.sh): each unit holds three dozen
# functions over std::string, std::vector and std::map (every unit
# instantiating the same templates, as real programs do) and an entry
# function; main calls a chain of ten entries spread over the units, and
# the last one prints the stored trace of those ten frames. Built -O1 -g.
#   xov_fat_program(<units>)  ->  executable fat_trace_<units>

set(xov_fat_unit_head [=[
// Unit @K@ of a generated program for the cold-trace benchmark.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

void fat_trace();
extern int (*const fat_chain[10])(int hop, int x);
]=])

set(xov_fat_unit_functions [=[
std::string fat@K@_label@J@(int x) {
    std::string s = "unit@K@-";
    s += std::to_string(x * @J@ + @K@);
    if (s.size() > 8) s.append(3, 'x');
    return s;
}

std::vector<int> fat@K@_series@J@(int n) {
    std::vector<int> v;
    for (int i = 0; i < n % 32 + @J@; ++i) v.push_back((i * @K@) ^ @J@);
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> fat@K@_split@J@(const std::string& s) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : s) {
        if (c == '-') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

std::map<std::string, int> fat@K@_index@J@(const std::vector<std::string>& words) {
    std::map<std::string, int> m;
    for (const auto& w : words) m[w] += @J@ + 1;
    return m;
}

int fat@K@_lookup@J@(const std::map<std::string, int>& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() ? -@J@ : it->second;
}

std::string fat@K@_join@J@(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += '+';
        out += p;
    }
    return out;
}
]=])

set(xov_fat_unit_entry [=[
int fat_entry_@K@(int hop, int x) {
    const auto words = fat@K@_split0(fat@K@_label0(x) + "-" + fat@K@_label1(hop));
    const auto index = fat@K@_index0(words);
    int r = fat@K@_lookup0(index, words.front()) + static_cast<int>(fat@K@_series0(x).size());
    if (hop == 9)
        fat_trace();
    else
        r += fat_chain[hop + 1](hop + 1, x + r);
    return r + static_cast<int>(fat@K@_join0(words).size());
}
]=])

set(xov_fat_main [=[
// The generated program's main: a chain of ten unit entries, the last of
// which prints the trace of the ten.
#include "failure/stack_trace.hpp"

@DECLARATIONS@
extern int (*const fat_chain[10])(int, int);
int (*const fat_chain[10])(int, int) = {@CHAIN@};

[[gnu::noinline]] void fat_trace() {
    usize addresses[10];
    StackTrace trace{0, addresses};
    debug::captureStackTrace(reinterpret_cast<usize>(__builtin_return_address(0)), &trace);
    debug::dumpStackTrace(trace);
}

int main(int argc, char**) { return fat_chain[0](0, argc) == 12345 ? 1 : 0; }
]=])

function(xov_fat_program units)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fat${units})
  set(sources "")
  math(EXPR last "${units} - 1")
  foreach(K RANGE ${last})
    string(CONFIGURE "${xov_fat_unit_head}" text @ONLY)
    foreach(J RANGE 5)
      string(CONFIGURE "${xov_fat_unit_functions}" part @ONLY)
      string(APPEND text "${part}")
    endforeach()
    string(CONFIGURE "${xov_fat_unit_entry}" part @ONLY)
    string(APPEND text "${part}")
    file(CONFIGURE OUTPUT ${dir}/unit${K}.cpp CONTENT "${text}")
    list(APPEND sources ${dir}/unit${K}.cpp)
  endforeach()
  # Hop i runs in unit i * units / 10: ten distinct units once there are
  # ten or more, spread over the whole program.
  set(DECLARATIONS "")
  set(chain "")
  foreach(hop RANGE 9)
    if(units GREATER_EQUAL 10)
      math(EXPR K "${hop} * ${units} / 10")
    else()
      math(EXPR K "${hop} % ${units}")
    endif()
    list(APPEND chain fat_entry_${K})
    string(APPEND DECLARATIONS "int fat_entry_${K}(int, int);\n")
  endforeach()
  list(JOIN chain ", " CHAIN)
  string(CONFIGURE "${xov_fat_main}" text @ONLY)
  file(CONFIGURE OUTPUT ${dir}/main.cpp CONTENT "${text}")

  add_executable(fat_trace_${units} ${dir}/main.cpp ${sources})
  set_source_files_properties(${sources} PROPERTIES COMPILE_OPTIONS "-O1;-g")
  target_link_libraries(fat_trace_${units} PRIVATE xov_runner)
  xov_link_like_product(fat_trace_${units})
  # Only by hand (bench/fat_trace_bench.sh): 256 units take minutes.
  set_target_properties(fat_trace_${units} PROPERTIES EXCLUDE_FROM_ALL ON)
endfunction()
