#include "pic_model.h"

#include <gtest/gtest.h>
