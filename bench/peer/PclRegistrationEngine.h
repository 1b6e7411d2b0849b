#pragma once
// The frame registration of the registration module rebuilt on PCL (ICP with
// normal and trimming rejectors, then Lu-Milios graph optimisation), for the
// side-by-side benchmark.
#include "engine/RegistrationEngine.h"

namespace TavoAlgorithm::bench {

const TavoRegistration::RegistrationEngine& pcl_registration_engine();

}  // namespace TavoAlgorithm::bench
