#include "driver/models/model.h"

const MODEL_IDENTITY ModelIdentity = {"Lm5520p", "LM5520USB", 2, 28};
