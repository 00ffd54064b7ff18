// Replaced by the simulator sources.
namespace orbsim {
int placeholder() { return 0; }
}  // namespace orbsim
