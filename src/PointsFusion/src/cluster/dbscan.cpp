#include "cluster/dbscan.h"

template class DBSCAN<pt::Point3_<double>>;
template class DBSCAN<vec1d>;
