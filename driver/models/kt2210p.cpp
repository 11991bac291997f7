#include "driver/models/model.h"

const MODEL_IDENTITY ModelIdentity = {"Kt2210p", "KT2210USB", 2, 27};
