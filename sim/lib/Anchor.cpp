int vantrelSimLibAnchor = 0;
