set(FOLDER_LIBS mapi)
