// The module's name and version, readable in the file without loading it:
//     readelf -p .kpm_version kalvorpowermeter.so
//     strings kalvorpowermeter.so | grep '^kalvorpowermeter '
// Not exported: `used` keeps it, the section name finds it.
#ifndef KPM_VERSION
#error "KPM_VERSION comes from the VERSION file through the build"
#endif

namespace {

__attribute__((used, section(".kpm_version")))
const char module_version[] = "kalvorpowermeter " KPM_VERSION;

}  // namespace
