#pragma once
// The dynamic value library: include this header for dv::Var and everything
// it carries (lists, dicts, functions, classes, conversions, JSON, printing).

#include "dv/var_value.h"
#include "dv/var_class.h"
#include "dv/var_holder.h"
#include "dv/var_containers.h"
#include "dv/var_function.h"
#include "dv/var_access.h"
#include "dv/json.h"
#include "dv/builtin_classes.h"
