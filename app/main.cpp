#include "app/dialogue.h"
#include "platform/platform.h"

int main() {
    platStart();
    return updaterMain();
}
