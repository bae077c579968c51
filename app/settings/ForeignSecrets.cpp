// ForeignSecrets: the Secret Service items of GNOME Keyring's SSH agent and of the prototype.
#include "settings/SetupController.h"
