// Carries one run from start to end: find the editor, prove its files readable,
// identify the installed release and talk to the user.
#pragma once

void RunUpdate();
